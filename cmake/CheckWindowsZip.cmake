# cmake -DCPACK=<cpack> -DCONFIG=<CPackConfig.cmake> -DWORK=<dir> -DLIBRARIES=<a;b>
#       -DPROGRAMS=<a;b> -DHEADERS=<a.h;b.h> -DOBJDUMP=<objdump> -DCHECK_EXPORTS=<CheckExports.cmake>
#       -DEXPORTS_<lib>=<a,b,c> ... -DCHECK_IMPORTS=<CheckImports.cmake> -DSYSTEM=<a.dll;b.dll>
#       -DIMPORTS_<program>=<x.dll,y.dll> ... -P CheckWindowsZip.cmake
# Builds the Windows ZIP, then fails unless it holds exactly the deliverables, their import
# libraries and .def files and the headers, unless every DLL in it exports exactly its names, and
# unless every program in it imports only system DLLs and exactly the project DLLs it is meant to.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND ${CPACK} --config ${CONFIG} -G ZIP -B ${WORK}/out
                RESULT_VARIABLE rc OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cpack failed:\n${log}")
endif()
file(GLOB zips ${WORK}/out/*.zip)
list(LENGTH zips count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one ZIP, found [${zips}]:\n${log}")
endif()
set(zip ${zips})
get_filename_component(PACKAGE ${zip} NAME_WLE)

execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${zip} OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot list ${zip}")
endif()
string(REPLACE "\n" ";" listing "${listing}")
set(found "")
foreach(entry IN LISTS listing)
  if(entry AND NOT entry MATCHES "/$")
    # Entries may sit under a top-level folder named after the archive.
    string(REGEX REPLACE "^${PACKAGE}/" "" entry "${entry}")
    list(APPEND found ${entry})
  endif()
endforeach()

set(expected "")
foreach(program IN LISTS PROGRAMS)
  list(APPEND expected bin/${program}.exe)
endforeach()
foreach(lib IN LISTS LIBRARIES)
  list(APPEND expected bin/${lib}.dll lib/${lib}.lib lib/${lib}.def)
endforeach()
foreach(header IN LISTS HEADERS)
  list(APPEND expected include/velkin/${header})
endforeach()
list(SORT found)
list(SORT expected)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "${zip} holds\n  ${found}\nexpected exactly\n  ${expected}")
endif()

# The DLLs as packed, not as built.
file(ARCHIVE_EXTRACT INPUT ${zip} DESTINATION ${WORK}/unpacked)
set(root ${WORK}/unpacked)
if(IS_DIRECTORY ${root}/${PACKAGE})
  set(root ${root}/${PACKAGE})
endif()
foreach(lib IN LISTS LIBRARIES)
  string(REPLACE "," ";" names "${EXPORTS_${lib}}")
  execute_process(COMMAND ${CMAKE_COMMAND} -DLIBRARY=${root}/bin/${lib}.dll
                          "-DEXPECTED=${names}" -DTOOL=${OBJDUMP} -P ${CHECK_EXPORTS}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${lib}.dll in the ZIP: ${out}")
  endif()
endforeach()
foreach(program IN LISTS PROGRAMS)
  string(REPLACE "," ";" dlls "${IMPORTS_${program}}")
  execute_process(COMMAND ${CMAKE_COMMAND} -DFILE=${root}/bin/${program}.exe -DOBJDUMP=${OBJDUMP} "-DSYSTEM=${SYSTEM}"
                          "-DLIBRARIES=${dlls}" -P ${CHECK_IMPORTS}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${program}.exe in the ZIP: ${out}")
  endif()
endforeach()
message(STATUS "${zip}: ${found}")
