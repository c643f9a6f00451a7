// Texts that --help and the man page both show, written once.
#pragma once

namespace velkin::cli {

inline constexpr const char* kAbout =
    "velkin programs, checks and reads Velkin playback units and encodes and inspects their sound files: one "
    "command per task, text for people or one JSON object per result for scripts, and an exit status that says "
    "what happened.";

inline constexpr const char* kExitStatusText =
    "0: every unit or file done, or the set built or fitted. 1: a unit or file failed (the others still finish "
    "and are reported), no unit was found, or a set does not fit its capacity. 2: bad arguments or input "
    "(nothing was done). 130: interrupted by Ctrl-C: every running job stopped between two commands and every "
    "unit was reported; a unit left half written says so. A file command stopped so writes nothing.";

inline constexpr const char* kSetText =
    "A set file (TOML) names the clips in order, each a [[clip]] table with its WAV file (relative to the set "
    "file), label value, trim, level and pause, and the image's encoder, rate, threshold, clock and capacity; "
    "the README's section on sound sets documents every key. With \"auto\" for the encoder, the rate or the "
    "threshold, the build fits first (see velkin fit --help). The image and the joined WAV are written only "
    "when the whole set was made, fits and checked: exit status 1 when it is larger than the capacity, 2 for a "
    "fault in the set or a clip.";

inline constexpr const char* kFitText =
    "Every candidate is encoded and scored: each clip is decoded, brought back to its own rate by the "
    "converter and compared, delay-compensated, with the clip as prepared at that rate; the score is the "
    "worst clip's segmental SNR. The best-scoring candidate that fits is chosen (ties: the better mean over "
    "the clips, then fewer bytes). Exit status 1 when nothing fits: the smallest candidate's excess is said "
    "in bytes and seconds of sound.";

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
