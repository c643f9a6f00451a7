# Shared build settings and helpers for every subsystem.

# A compiler cache keeps repeat builds cheap across presets and clones. Paths are made relative to
# the source tree, so a fresh clone elsewhere reuses what an earlier clone compiled.
find_program(VELKIN_CCACHE ccache)
if(VELKIN_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  set(launcher ${CMAKE_COMMAND} -E env CCACHE_BASEDIR=${CMAKE_SOURCE_DIR} CCACHE_NOHASHDIR=1 ${VELKIN_CCACHE})
  set(CMAKE_C_COMPILER_LAUNCHER ${launcher})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${launcher})
endif()

# clang links its sanitizers' runtime into each program unless told -shared-libsan; the sanitizer
# builds ask for the shared one, since the exported libraries are linked with no undefined symbols
# and a program and the libraries it loads must share one runtime. clang keeps that runtime outside
# the loader's path, so the build tree's programs and libraries carry its folder.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND CMAKE_EXE_LINKER_FLAGS MATCHES "-shared-libsan")
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} --print-runtime-dir
                  OUTPUT_VARIABLE VELKIN_SANITIZER_RUNTIME_DIR OUTPUT_STRIP_TRAILING_WHITESPACE
                  COMMAND_ERROR_IS_FATAL ANY)
  list(APPEND CMAKE_BUILD_RPATH ${VELKIN_SANITIZER_RUNTIME_DIR})
endif()

# Layering: every include of another module's header names it by its path from the source root
# ("formats/le_bytes.h", "device/qmlib/os/transport.h"); a plain name only reaches the including
# file's own folder. So the source root is the one include directory of the project's code, and no
# library adds a folder of its own to its users' include path (the public C headers of include/
# come with velkin_headers). Which module may include which is a table in CheckLayering.cmake,
# checked before anything compiles (velkin_check_layering below): a layer that includes a header
# of a layer above or beside it fails the build.
include_directories(${PROJECT_SOURCE_DIR})

if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_compile_options(-Wall -Wextra -Wpedantic)
endif()

if(WIN32)
  # Statically linked, so the programs and DLLs need nothing but system DLLs.
  add_link_options(-static -static-libgcc -static-libstdc++)
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(VELKIN_WIN32_I686 ON)
  endif()
endif()

# velkin_host_headers(<target> HEADERS <dir/header>... [SUBDIRS <dir>...])
#
# An interface target that puts header-only libraries of the host's Debian packages (Boost,
# nlohmann-json, CLI11, kissfft, ...) on its users' include path, also in the mingw builds. A cross
# compiler must not search the host's /usr/include, so a folder of links to just these libraries'
# folders is put on the include path instead (shared by every target that asks). SUBDIRS adds
# folders inside it for libraries that include their own headers by plain name.
function(velkin_host_headers target)
  cmake_parse_arguments(ARG "" "" "HEADERS;SUBDIRS" ${ARGN})
  set(host_headers ${CMAKE_BINARY_DIR}/host-headers)
  file(MAKE_DIRECTORY ${host_headers})
  foreach(entry IN LISTS ARG_HEADERS)
    get_filename_component(dir ${entry} DIRECTORY)
    find_path(VELKIN_HEADERS_${dir} ${entry} PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
    if(NOT EXISTS ${host_headers}/${dir})
      file(CREATE_LINK ${VELKIN_HEADERS_${dir}}/${dir} ${host_headers}/${dir} SYMBOLIC)
    endif()
  endforeach()
  set(dirs ${host_headers})
  foreach(sub IN LISTS ARG_SUBDIRS)
    list(APPEND dirs ${host_headers}/${sub})
  endforeach()
  add_library(${target} INTERFACE)
  target_include_directories(${target} SYSTEM INTERFACE ${dirs})
endfunction()

# The shared libraries the system delivers (each made by velkin_add_shared_library).
set(VELKIN_SHARED_LIBRARIES TARPEL VOSSIK Sondrel Farlink Quorvane)

# The programs installed beside the console.
set(VELKIN_TOOL_PROGRAMS velkin-emu velkin-decode velkin-studio)

# The DLLs a Windows deliverable may import besides the project's own: the system's.
set(VELKIN_SYSTEM_DLLS kernel32.dll msvcrt.dll user32.dll advapi32.dll setupapi.dll cfgmgr32.dll ws2_32.dll mswsock.dll
                      shell32.dll)

# velkin_check_imports(<target> [LIBRARIES <dll>...]): a test that the Windows binary imports
# nothing but system DLLs and exactly the listed project DLLs. The deliverables need nothing on
# the user's machine beyond the system and each other.
function(velkin_check_imports target)
  cmake_parse_arguments(ARG "" "" "LIBRARIES" ${ARGN})
  add_test(NAME imports.${target}
           COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:${target}> -DOBJDUMP=${CMAKE_OBJDUMP}
                   "-DSYSTEM=${VELKIN_SYSTEM_DLLS}" "-DLIBRARIES=${ARG_LIBRARIES}"
                   -P ${PROJECT_SOURCE_DIR}/cmake/CheckImports.cmake)
endfunction()

# velkin_add_shared_library(<name> EXPORTS <sym[@argbytes]>... SOURCES <src>... [LIBS <lib>...])
#
# A shared library that exports exactly the named functions. On ELF the functions carry
# VELKIN_EXPORT (default visibility) and everything else is hidden. On Windows a .def file
# is generated: 32-bit stdcall functions are decorated "name@N" by the compiler, so the
# .def maps the plain name onto the decorated one; 64-bit names are plain.
function(velkin_add_shared_library name)
  cmake_parse_arguments(ARG "" "" "EXPORTS;SOURCES;LIBS" ${ARGN})
  set(def_lines "LIBRARY ${name}\nEXPORTS\n")
  set(plain_names "")
  foreach(sym IN LISTS ARG_EXPORTS)
    string(REGEX REPLACE "@.*$" "" plain "${sym}")
    list(APPEND plain_names ${plain})
    if(VELKIN_WIN32_I686 AND sym MATCHES "@")
      string(APPEND def_lines "  ${sym} == ${plain}\n")
    else()
      string(APPEND def_lines "  ${plain}\n")
    endif()
  endforeach()
  set(def_file ${CMAKE_CURRENT_BINARY_DIR}/${name}.def)
  file(GENERATE OUTPUT ${def_file} CONTENT "${def_lines}")

  if(WIN32)
    add_library(${name} SHARED ${ARG_SOURCES} ${def_file})
    set_target_properties(${name} PROPERTIES PREFIX "" IMPORT_PREFIX "" IMPORT_SUFFIX ".lib")
  else()
    add_library(${name} SHARED ${ARG_SOURCES})
    set_target_properties(${name} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION 1)
    # Hidden visibility does not cover the weak inline symbols of the C++ runtime headers; a
    # version script makes the export table exactly the listed names.
    string(REPLACE ";" "; " globals "${plain_names}")
    set(map_file ${CMAKE_CURRENT_BINARY_DIR}/${name}.map)
    file(GENERATE OUTPUT ${map_file} CONTENT "{\n  global: ${globals};\n  local: *;\n};\n")
    target_link_options(${name} PRIVATE -Wl,--no-undefined -Wl,--version-script=${map_file})
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${map_file})
  endif()
  target_compile_definitions(${name} PRIVATE VELKIN_BUILDING_LIBRARY)
  target_link_libraries(${name} PUBLIC velkin_headers PRIVATE ${ARG_LIBS})
  # The names stay with the target for the packaging rules (cmake/VelkinInstall.cmake).
  set_target_properties(${name} PROPERTIES VELKIN_EXPORTS "${plain_names}")

  # It must export exactly these names, in every build (also the i686 one, where nothing runs).
  if(WIN32)
    set(tool ${CMAKE_OBJDUMP})
  else()
    set(tool ${CMAKE_NM})
  endif()
  add_test(NAME exports.${name}
           COMMAND ${CMAKE_COMMAND} -DLIBRARY=$<TARGET_FILE:${name}> "-DEXPECTED=${plain_names}" -DTOOL=${tool}
                   -P ${PROJECT_SOURCE_DIR}/cmake/CheckExports.cmake)
  if(WIN32)
    velkin_check_imports(${name})
  endif()
endfunction()

# velkin_check_layering(): the layering check as a build step that every compiled target of the
# project waits for, so a forbidden include stops the build with the check's message. It reruns
# when a module's source changes (new files are picked up at the next configure).
function(velkin_check_layering)
  set(script ${PROJECT_SOURCE_DIR}/cmake/CheckLayering.cmake)
  set(stamp ${CMAKE_BINARY_DIR}/layering.stamp)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS
       ${PROJECT_SOURCE_DIR}/formats/* ${PROJECT_SOURCE_DIR}/riff/* ${PROJECT_SOURCE_DIR}/encoders/*
       ${PROJECT_SOURCE_DIR}/resampler/* ${PROJECT_SOURCE_DIR}/sound/* ${PROJECT_SOURCE_DIR}/sets/*
       ${PROJECT_SOURCE_DIR}/emulator/* ${PROJECT_SOURCE_DIR}/device/*
       ${PROJECT_SOURCE_DIR}/console/* ${PROJECT_SOURCE_DIR}/tools/*.cpp ${PROJECT_SOURCE_DIR}/tools/*.h)
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -DROOT=${PROJECT_SOURCE_DIR} -DSTAMP=${stamp} -P ${script}
    DEPENDS ${script} ${sources}
    COMMENT "Checking the layering of the includes"
    VERBATIM)
  add_custom_target(velkin_layering ALL DEPENDS ${stamp})

  set(dirs ${PROJECT_SOURCE_DIR})
  while(dirs)
    list(POP_FRONT dirs dir)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(t IN LISTS targets)
      get_target_property(type ${t} TYPE)
      if(type MATCHES "^(STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY|EXECUTABLE)$")
        add_dependencies(${t} velkin_layering)
      endif()
    endforeach()
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    list(APPEND dirs ${subdirs})
  endwhile()

  add_test(NAME layering.tree COMMAND ${CMAKE_COMMAND} -DROOT=${PROJECT_SOURCE_DIR} -P ${script})
  # A small tree with one forbidden include of each kind: the check must name every one.
  add_test(NAME layering.forbidden
           COMMAND ${CMAKE_COMMAND} -DROOT=${PROJECT_SOURCE_DIR}/tests/layering/forbidden -P ${script})
  set_tests_properties(layering.forbidden PROPERTIES
    PASS_REGULAR_EXPRESSION
    "console/beside.cpp: console must not include encoders/common/coding_stage.h.*console/beside.cpp: console must not include device/qmlib/opened_unit.h.*console/beside.cpp: #include .le_bytes.h. does not name its module.*device/qmlib/os/linux/upward.cpp: device/qmlib/os/linux must not include device/qmlib/device_agent.h.*formats/upward.h: formats must not include riff/riff_file.h")
endfunction()
