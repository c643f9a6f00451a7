// A sound set: the clips that make one image, in order, with their label values and how each is
// prepared, and the settings of the image (encoder, rate, silence threshold, clock, capacity).
//
// A set is a small TOML file that people write and keep in version control (README, "Sound sets",
// documents every key). It is read here into a SetFile; a program that builds a set in memory (the
// studio) fills a SetFile itself, and WriteSetText gives the file back.
//
// Every value read keeps the line it was written on, so that a later step (a missing clip, a
// loudness target this build cannot meet) can name the set file and the line.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sets/diagnostics.h"
#include "sound/level.h"
#include "sound/prepare.h"

namespace velkin::sets {

// The set file format this library writes and reads. A file that says `version = N` with a larger
// N was written for a newer program and is refused rather than half understood.
inline constexpr int kSetFormatVersion = 1;

// A code file marks regions with five bits of the cue index, so the 33rd clip would carry index 0
// again and the player could not tell it from the first.
inline constexpr std::size_t kMaxClips = 32;

// The rates a code file's header can name (its rate codes); fit tries those from 6000 to 32000 Hz.
inline constexpr std::uint32_t kHeaderRates[] = {6000, 8000, 11025, 16000, 22050, 32000, 44100, 48000, 96000, 192000};
inline constexpr std::uint32_t kFitRates[] = {6000, 8000, 11025, 16000, 22050, 32000};
// The silence thresholds fit tries when the set leaves the threshold to it: the encoders' floor
// (0 acts as 4), a quiet hiss, and the tail of a soft phrase.
inline constexpr std::uint32_t kFitThresholds[] = {0, 32, 128};

inline constexpr std::uint32_t kDefaultClock = 12000000;
inline constexpr std::uint32_t kMinClock = 1000000;
inline constexpr std::uint32_t kMaxClock = 100000000;
inline constexpr std::uint32_t kMaxThreshold = 32767;
inline constexpr double kMaxPauseSeconds = 60.0;

enum class Encoder { kTarpel, kVossik };
// "tarpel" and "vossik": the names in set files, reports and JSON. The export's own name is
// "TARPEL" / "VOSSIK".
const char* EncoderKey(Encoder encoder);
const char* EncoderExportName(Encoder encoder);
std::optional<Encoder> ParseEncoderKey(std::string_view key);

// Where something was written: the set file and the line (0: not from a file).
struct Spot {
  int line = 0;
};

// How one clip is prepared.
struct ClipSettings {
  sound::ChannelChoice channels = sound::ChannelChoice::kFirst;
  sound::Level level = {};                       // gain, loudness or peak; none by default
  std::optional<sound::TrimSettings> trim = {};  // none: nothing trimmed
  double pauseSeconds = 0.0;                     // silence after the clip, outside its region
  Spot levelSpot;                                // where the level was set (loudness needs a meter)
};

struct Clip {
  std::string file;                    // as written: relative paths start at the set's folder
  std::optional<std::uint32_t> label;  // 0-255; none: the clip's position (its cue index)
  std::string name;                    // shown in reports; empty: the file's name without extension
  ClipSettings settings;
  Spot spot;       // the [[clip]] table
  Spot labelSpot;  // its label
  Spot fileSpot;   // its file
};

struct Capacity {
  bool unit = true;         // the selected unit's flash; its size comes from the caller
  std::uint64_t bytes = 0;  // when not `unit`
  Spot spot;
};

struct SetFile {
  // The set file (named in messages), and the folder its relative clip paths start from. A set
  // made in memory has no file; its folder is where its clips are looked for.
  std::filesystem::path path;
  std::filesystem::path folder;

  std::optional<Encoder> encoder;              // none: "auto", fit chooses
  std::optional<std::uint32_t> rate;           // none: "auto"
  std::optional<std::uint32_t> threshold = 0;  // none: "auto"
  std::uint32_t clock = kDefaultClock;
  Capacity capacity;
  std::vector<Clip> clips;

  Spot encoderSpot, rateSpot, thresholdSpot, clockSpot;

  // The name messages give the set: its file, or "the set".
  std::string Name() const;
  // The clip's file resolved against the set's folder.
  std::filesystem::path ClipPath(const Clip& clip) const;
  // The label value clip `index` carries.
  std::uint32_t LabelOf(std::size_t index) const;
  // The clip's name for reports.
  std::string ClipName(std::size_t index) const;
  // The clip as messages name it: "clip 3 (sounds/hello.wav)".
  std::string ClipTitle(std::size_t index) const;
  // True when encoder, rate or threshold is left to fit.
  bool NeedsFit() const { return !encoder || !rate || !threshold; }
};

// Reads a set from its text. `path` names the file in messages and gives the folder of relative
// clip paths (it is not read). Errors and warnings go to `diagnostics`; nothing is returned when
// there is an error.
std::optional<SetFile> ParseSet(std::string_view text, const std::filesystem::path& path, Diagnostics& diagnostics);
// Reads a set file.
std::optional<SetFile> ReadSetFile(const std::filesystem::path& path, Diagnostics& diagnostics);

// Checks a set made in memory as ParseSet checks a file (clip count, labels, values in range,
// loudness where the build cannot measure it). False when there is an error.
bool CheckSet(const SetFile& set, Diagnostics& diagnostics);

// The set as a set file's text, with every key written out (defaults included), so that it reads
// back to the same set.
std::string WriteSetText(const SetFile& set);

}  // namespace velkin::sets
