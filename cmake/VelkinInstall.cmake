# What `cmake --install` puts in place and how CPack packs it.
#
# Components:
#   Runtime      the console program, the velkin command line and the shared libraries (DLLs on
#                Windows)
#   Development  public headers, import libraries and .def files (Windows), soname links (ELF)
#   Config       pkg-config files and the CMake package
#   Tools        velkin-emu, velkin-decode and velkin-studio
#   Manuals      man pages and velkin's bash completion
# The Windows ZIP carries Runtime and Development only: the six deliverables and velkin, with what
# a C program needs to link against the libraries.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(velkin_installed_libraries ${VELKIN_SHARED_LIBRARIES})

# The public headers point into the source tree while building; an installed consumer finds
# them under the prefix instead.
set_property(TARGET velkin_headers PROPERTY INTERFACE_INCLUDE_DIRECTORIES
             $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>)
set_property(TARGET velkin_headers PROPERTY EXPORT_NAME headers)

install(TARGETS velkin_headers EXPORT VelkinTargets INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/velkin/platform.h include/velkin/encoder.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/velkin
        COMPONENT Development)

foreach(lib IN LISTS velkin_installed_libraries)
  install(TARGETS ${lib} EXPORT VelkinTargets
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime
                  NAMELINK_COMPONENT Development
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
  # A header without its library would only lead to link errors, so each goes with its library.
  string(TOLOWER ${lib} header)
  install(FILES include/velkin/${header}.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/velkin COMPONENT Development)
  if(WIN32)
    # The .def file names the exports for other Windows toolchains (lib.exe /def:...).
    get_target_property(lib_binary_dir ${lib} BINARY_DIR)
    install(FILES ${lib_binary_dir}/${lib}.def DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
  endif()

  # One pkg-config file per library. Its prefix is found relative to the file itself, so the
  # tree works wherever it is installed or unpacked.
  string(TOLOWER "velkin-${lib}" pc_name)
  file(RELATIVE_PATH pc_to_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
  set(PC_PREFIX "\${pcfiledir}/${pc_to_prefix}")
  set(PC_LIBRARY ${lib})
  set(PC_HEADER ${header})
  configure_file(${PROJECT_SOURCE_DIR}/packaging/pkgconfig/velkin-library.pc.in
                 ${PROJECT_BINARY_DIR}/pkgconfig/${pc_name}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${pc_name}.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Config)
endforeach()

install(TARGETS VelkinUtils velkin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)
install(TARGETS ${VELKIN_TOOL_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Tools)

# The CMake package: find_package(Velkin [COMPONENTS TARPEL ...]) gives Velkin::<library>.
set(VELKIN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Velkin)
install(EXPORT VelkinTargets NAMESPACE Velkin:: DESTINATION ${VELKIN_CMAKE_DIR} COMPONENT Config)
set(VELKIN_PACKAGE_LIBRARIES ${velkin_installed_libraries})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VelkinConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/VelkinConfig.cmake INSTALL_DESTINATION ${VELKIN_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VelkinConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VelkinConfig.cmake ${PROJECT_BINARY_DIR}/VelkinConfigVersion.cmake
        DESTINATION ${VELKIN_CMAKE_DIR} COMPONENT Config)

# Man pages: written in man(7) source, which is what man reads, compressed when gzip is there.
if(NOT WIN32)
  find_program(VELKIN_GZIP gzip)
  set(man_outputs "")
  foreach(page VelkinUtils velkin ${VELKIN_TOOL_PROGRAMS})
    set(source ${PROJECT_SOURCE_DIR}/packaging/man/${page}.1)
    if(page STREQUAL "velkin")
      set(source ${VELKIN_CLI_MAN})  # written by the program from its option definitions
    endif()
    if(VELKIN_GZIP)
      set(output ${PROJECT_BINARY_DIR}/man/${page}.1.gz)
      add_custom_command(OUTPUT ${output}
                         COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
                         COMMAND ${VELKIN_GZIP} -9 -n -c ${source} > ${output}
                         DEPENDS ${source} VERBATIM)
    else()
      set(output ${source})
    endif()
    list(APPEND man_outputs ${output})
  endforeach()
  add_custom_target(velkin_man ALL DEPENDS ${man_outputs})
  add_dependencies(velkin_man velkin_docs)
  install(FILES ${man_outputs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Manuals)
  install(FILES ${VELKIN_CLI_COMPLETION} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
          COMPONENT Manuals)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/VelkinPackage.cmake)

# The 32-bit Windows ZIP is checked in its own build, where nothing else can run: the archive
# must hold exactly the deliverables, import libraries, .def files and headers, the packed DLLs
# must export exactly their names, and the packed programs import only what they are meant to.
if(VELKIN_WIN32_I686)
  set(zip_programs VelkinUtils velkin)
  # The project DLLs each packed program imports (velkin links the device library, the sound
  # preparation and the sets statically, and encodes through the two encoders' exports, as the
  # console does).
  set(zip_import_args "-DIMPORTS_VelkinUtils=TARPEL.dll,VOSSIK.dll,Sondrel.dll,Farlink.dll"
                      "-DIMPORTS_velkin=TARPEL.dll,VOSSIK.dll")
  set(zip_headers platform.h encoder.h)
  set(zip_export_args "")
  foreach(lib IN LISTS velkin_installed_libraries)
    string(TOLOWER ${lib} header)
    list(APPEND zip_headers ${header}.h)
    get_target_property(names ${lib} VELKIN_EXPORTS)
    # Commas, so that the names stay one argument of the test command.
    string(REPLACE ";" "," names "${names}")
    list(APPEND zip_export_args "-DEXPORTS_${lib}=${names}")
  endforeach()
  add_test(NAME packaging.windows_zip
           COMMAND ${CMAKE_COMMAND} -DCPACK=${CMAKE_CPACK_COMMAND} -DCONFIG=${PROJECT_BINARY_DIR}/CPackConfig.cmake
                   -DWORK=${PROJECT_BINARY_DIR}/zip-check "-DLIBRARIES=${velkin_installed_libraries}" "-DPROGRAMS=${zip_programs}"
                   "-DHEADERS=${zip_headers}" -DOBJDUMP=${CMAKE_OBJDUMP}
                   -DCHECK_EXPORTS=${PROJECT_SOURCE_DIR}/cmake/CheckExports.cmake ${zip_export_args}
                   -DCHECK_IMPORTS=${PROJECT_SOURCE_DIR}/cmake/CheckImports.cmake "-DSYSTEM=${VELKIN_SYSTEM_DLLS}"
                   ${zip_import_args}
                   -P ${PROJECT_SOURCE_DIR}/cmake/CheckWindowsZip.cmake)
endif()
