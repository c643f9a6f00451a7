// Texts that --help and the man page both show, written once.
#pragma once

namespace velkin::cli {

inline constexpr const char* kAbout =
    "velkin programs, checks and reads Velkin playback units and encodes and inspects their sound files: one "
    "command per task, text for people or one JSON object per result for scripts, and an exit status that says "
    "what happened.";

inline constexpr const char* kExitStatusText =
    "0: every unit or file done. 1: a unit or file failed (the others still finish and are reported), or no unit "
    "was found. 2: bad arguments or input (nothing was done). 130: interrupted by Ctrl-C: every running job stopped "
    "between two commands and every unit was reported; a unit left half written says so. A file command stopped "
    "so writes nothing.";

inline constexpr const char* kSerialText =
    "With --serial START each unit of the tray gets its own 16-byte record at EEPROM address 16: bytes 0 to 11 "
    "are those of --record (zeros without it), bytes 12 to 15 the serial number as a 32-bit big-endian number "
    "(1000 is 000003E8). The units are numbered START, START+1, ... in the order of their hub, then port, then "
    "name; a unit that fails keeps its number.";

inline constexpr const char* kLogText =
    "With --log FILE every unit adds one JSON line to FILE when it ends, written to the disk before the next: the "
    "time (UTC, ISO 8601), the command, the unit's name and identity, its flash identity, the image's name, size "
    "and SHA-256, the record and whether it was written, the result and the time of each step.";

inline constexpr const char* kEnvironmentText =
    "VELKIN_EMULATOR: a folder of virtual devices (see velkin-emu) used instead of the units plugged in.";

}  // namespace velkin::cli
