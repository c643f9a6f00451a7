# cmake -DROOT=<source tree> [-DSTAMP=<file>] -P CheckLayering.cmake
#
# Checks that every module includes only its own headers and those of the layers it may use. A
# header belongs to the module with the longest folder prefix of its path; an include that names
# another module's header must be allowed by the table below. A plain include must name a header
# in the including file's own folder: anything else would only work through a borrowed include
# directory. Tests, benchmarks, fuzz targets and examples sit outside the table and reach anything.

# Module folders, lower layers first. Each "ALLOW_<module>" lists regular expressions for the
# include paths (module-qualified, as written) the module may use besides its own headers.
set(modules
    formats
    cpu
    riff
    encoders/common
    encoders/pcm12
    encoders/adpcm4
    resampler
    sound
    sets
    emulator
    device/qmlib/os
    device/qmlib/os/linux
    device/qmlib/os/windows
    device/qmlib/os/stub
    device/qmlib/os/emulated
    device/qmlib
    device/farlink
    device/quorvane
    device/programming
    console
    tools/velkin-decode
    tools/velkin-emu
    tools/velkin-studio
    tools/velkin)

# The seam headers of the device library's platform layer (not the backends behind them).
set(seam "^device/qmlib/os/[^/]+$")
set(ALLOW_formats "")
set(ALLOW_cpu "")
set(ALLOW_riff "^formats/")
set(ALLOW_encoders/common "^cpu/" "^formats/")
set(ALLOW_encoders/pcm12 "^encoders/common/" "^cpu/" "^formats/")
set(ALLOW_encoders/adpcm4 "^encoders/common/" "^cpu/" "^formats/")
set(ALLOW_resampler "^riff/" "^cpu/" "^formats/")
# Preparing sounds: above the file formats and the converter's resampler, below the programs.
set(ALLOW_sound "^resampler/" "^riff/" "^formats/")
# Sound sets: above the sounds, the file formats and (through their C exports) the encoders.
set(ALLOW_sets "^sound/" "^riff/" "^formats/")
set(ALLOW_emulator "^formats/")
set(ALLOW_device/qmlib/os "^emulator/" "^formats/")
set(ALLOW_device/qmlib/os/linux "${seam}")
set(ALLOW_device/qmlib/os/windows "${seam}")
set(ALLOW_device/qmlib/os/stub "${seam}")
set(ALLOW_device/qmlib/os/emulated "${seam}" "^emulator/" "^formats/")
set(ALLOW_device/qmlib "^device/qmlib/os/" "^emulator/" "^formats/")
set(ALLOW_device/farlink "^device/qmlib/[^/]+$")
set(ALLOW_device/quorvane "^device/qmlib/[^/]+$" "^device/qmlib/os/hotplug\\.h$" "^device/qmlib/os/backend\\.h$"
    "^device/qmlib/os/emulated/virtual_device_messages\\.h$")
set(ALLOW_device/programming "^device/qmlib/")
# The console calls the libraries through their C exports only; the hot-plug event source is the
# one piece of the device library it links directly, and its own mono routine lives in sound/. The
# vendor command set's header is constants only (the flash geometry its download walks), nothing to link.
set(ALLOW_console "^riff/" "^formats/" "^sound/mono\\.h$" "^device/qmlib/os/hotplug\\.h$"
    "^device/qmlib/os/emulated/virtual_device_messages\\.h$" "^device/qmlib/vendor_command_set\\.h$")
set(ALLOW_tools/velkin-decode "^riff/" "^formats/")
set(ALLOW_tools/velkin-emu "^emulator/" "^formats/")
set(ALLOW_tools/velkin "^device/programming/" "^device/qmlib/vendor_command_set\\.h$" "^sound/" "^riff/" "^formats/" "^sets/")
set(ALLOW_tools/velkin-studio "^device/programming/" "^sound/" "^sets/" "^riff/" "^formats/")

if(NOT ROOT)
  message(FATAL_ERROR "CheckLayering: ROOT is not set")
endif()

# The module a path (relative to ROOT) belongs to, or "" outside every module.
function(module_of path out)
  set(best "")
  foreach(m IN LISTS modules)
    string(LENGTH "${m}" len)
    string(LENGTH "${best}" best_len)
    if(path MATCHES "^${m}/" AND len GREATER best_len)
      set(best "${m}")
    endif()
  endforeach()
  set(${out} "${best}" PARENT_SCOPE)
endfunction()

set(faults "")
set(globs "")
foreach(m IN LISTS modules)
  foreach(ext c cpp h rc)
    list(APPEND globs "${ROOT}/${m}/*.${ext}")
  endforeach()
endforeach()
file(GLOB_RECURSE sources RELATIVE "${ROOT}" ${globs})
list(REMOVE_DUPLICATES sources)
list(SORT sources)

foreach(file IN LISTS sources)
  module_of("${file}" from)
  get_filename_component(dir "${file}" DIRECTORY)
  file(STRINGS "${ROOT}/${file}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*([\"<])([^\">]*)[\">].*$" "\\1;\\2" parts "${line}")
    list(GET parts 0 quote)
    list(GET parts 1 inc)
    if(inc MATCHES "^velkin/")
      continue()  # the public C headers, usable everywhere
    endif()
    module_of("${inc}" to)
    if(to STREQUAL "")
      # Not module-qualified: a system header (<...>) or a header of the same folder.
      if(quote STREQUAL "\"" AND NOT (inc MATCHES "^[^/.]+\\.[a-z]+$" AND EXISTS "${ROOT}/${dir}/${inc}"))
        list(APPEND faults "${file}: #include \"${inc}\" does not name its module (write the header's path from the source root)")
      endif()
      continue()
    endif()
    if(to STREQUAL from)
      continue()
    endif()
    set(allowed FALSE)
    foreach(rule IN LISTS ALLOW_${from})
      if(inc MATCHES "${rule}")
        set(allowed TRUE)
        break()
      endif()
    endforeach()
    if(NOT allowed)
      list(APPEND faults "${file}: ${from} must not include ${inc} (a header of ${to})")
    endif()
  endforeach()
endforeach()

if(faults)
  list(JOIN faults "\n  " text)
  message(FATAL_ERROR "Layering violated (see cmake/CheckLayering.cmake for the allowed dependencies):\n  ${text}\n")
endif()
if(STAMP)
  file(TOUCH "${STAMP}")
endif()
