// The clips of a set read and prepared: each once at its own rate, where it is judged, and then at
// any rate an image is made at.
//
// The level and the trim are decided once, on the clip at its own rate, and carried to every other
// rate: the gain in dB, the trimmed stretch in seconds. So the clip sounds as loud and starts and
// ends at the same moment whatever rate the image takes, and a clip at a low rate differs from the
// clip at its own rate only by the band it loses (loudness measured at a low rate would otherwise
// make up for the lost band with gain, and the trim would fall a sample earlier or later).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "sets/diagnostics.h"
#include "sets/set_file.h"
#include "sound/wave_audio.h"

namespace velkin::sets {

// Clips are judged at their own rate, but not above this: no image keeps anything above 16 kHz,
// so a 96 kHz source judged at 96 kHz would only cost time.
inline constexpr std::uint32_t kMaxJudgeRate = 48000;
// A sample within +-4 is silence to the encoders at any threshold (they raise lower thresholds
// to 4); a clip with nothing louder would be coded as silence records alone.
inline constexpr int kSilenceFloor = 4;

struct LoadedClip {
  std::filesystem::path path;
  sound::SourceFormat format;           // of the file
  std::vector<std::int16_t> mono;       // its one channel in 16 bits, at the file's rate
  std::uint32_t ownRate = 0;            // the rate it is judged at
  std::vector<std::int16_t> reference;  // prepared at ownRate: one channel, level, trim
  double gainDb = 0.0;                  // applied at every rate
  std::uint64_t clipped = 0;            // samples clipped at ownRate by the gain (or a float source)
  std::uint64_t trimmedStart = 0;       // samples cut at ownRate
  std::uint64_t trimmedEnd = 0;
  std::uint64_t untrimmed = 0;  // samples at ownRate before the trim
  std::string truncation;       // TruncationNote of a file that ends early; empty otherwise

  double Seconds() const { return ownRate ? static_cast<double>(reference.size()) / ownRate : 0.0; }
};

// Reads clip `index` and prepares it at its own rate. On failure, or for a clip that is silence
// only, nothing: the error names the set file and line, the clip and its file.
std::optional<LoadedClip> LoadClip(const SetFile& set, std::size_t index, Diagnostics& diagnostics);

// The clip at `rate`: the converter from its source, the same gain, the same stretch kept.
// False, with the reason, when the converter cannot do it or nothing is left.
bool ClipAtRate(const LoadedClip& clip, std::uint32_t rate, std::vector<std::int16_t>& out, std::string& error);

// The largest sample magnitude.
int PeakOf(const std::vector<std::int16_t>& samples);

// `value` with `digits` decimals ("-3.5").
std::string Decimal(double value, int digits);

}  // namespace velkin::sets
