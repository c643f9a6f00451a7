# Shared build settings and helpers for every subsystem.

# A compiler cache keeps repeat builds cheap across presets and clones. Paths are made relative to
# the source tree, so a fresh clone elsewhere reuses what an earlier clone compiled.
find_program(VELKIN_CCACHE ccache)
if(VELKIN_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  set(launcher ${CMAKE_COMMAND} -E env CCACHE_BASEDIR=${CMAKE_SOURCE_DIR} CCACHE_NOHASHDIR=1 ${VELKIN_CCACHE})
  set(CMAKE_C_COMPILER_LAUNCHER ${launcher})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${launcher})
endif()

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

set(VELKIN_EXPORT_LISTS "" CACHE INTERNAL "")

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
  set_property(GLOBAL APPEND PROPERTY VELKIN_SHARED_LIBRARIES ${name})
  set_property(GLOBAL PROPERTY VELKIN_EXPORTS_${name} "${plain_names}")
endfunction()
