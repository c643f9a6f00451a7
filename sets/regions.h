// A decoded image split at its region markers, and each region compared with the clip it should
// hold.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "formats/code_file.h"
#include "sets/join.h"

namespace velkin::sets {

// One region as the code stream marks it.
struct StreamRegion {
  std::uint8_t cue = 0;       // the start marker's five bits of cue index
  std::uint8_t label = 0;     // its label value
  std::uint64_t begin = 0;    // decoded samples before its start marker
  std::uint64_t end = 0;      // and before its end marker
  std::size_t beginByte = 0;  // the start marker's offset in the code file
  std::size_t endByte = 0;    // the end marker's
};

// The regions of a decoded code file: start and end markers in pairs, in stream order. Nothing,
// with the reason, when the markers do not pair up.
std::optional<std::vector<StreamRegion>> SplitRegions(const decode::DecodedFile& decoded, std::string& error);

// What a region holds against the clip it should hold.
struct RegionMatch {
  // The region starts this many samples early: the 12-bit encoder does not move its input at a
  // segment boundary, so a segment that ends with one sample left starts the next one a sample
  // early, and the shift adds up over the image.
  int shift = 0;
  std::uint64_t length = 0;  // samples decoded
  int maxError = 0;          // largest sample difference where both exist
  double snrDb = 0.0;
  bool ok = false;   // cue, label and length as they should be, and the sound is the clip's
  std::string note;  // what is off, or how the region differs as the encoders do
};

// Compares region `region` of `decoded` with clip `clip` (the clip as joined at the image's rate,
// `rate`), expected at cue index `cue` with label `label`. `shift_hint`: the shift of the region
// before.
RegionMatch MatchRegion(const StreamRegion& region, std::span<const std::int16_t> decoded,
                        std::span<const std::int16_t> clip, std::uint32_t rate, std::uint32_t cue, std::uint32_t label,
                        int shift_hint);

// The region's samples as they stand against the clip: shifted back by `shift` and as long as
// the clip (zeros where the region has none).
std::vector<std::int16_t> AlignedRegion(std::span<const std::int16_t> region, int shift, std::size_t length);

}  // namespace velkin::sets
