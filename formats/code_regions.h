// The regions of a decoded code file: its start and end markers paired up again. The encoders
// write, for every cue point of their input, a start marker where the region begins and an end
// marker where it ends, both with the cue index (its low five bits) and the label value; the
// markers of all cue points stand sorted by position, so regions that overlap interleave theirs.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "formats/code_file.h"

namespace velkin::decode {

struct CodeRegion {
  std::uint8_t cue = 0;     // the cue index's low five bits
  std::uint8_t label = 0;   // the label value's low eight bits
  std::uint64_t begin = 0;  // the first sample of the region
  std::uint64_t end = 0;    // one past its last sample
};

struct CodeRegions {
  std::vector<CodeRegion> regions;   // in the order of their start markers
  std::vector<RegionMark> unpaired;  // markers no partner was found for
};

// Pairs every end marker with the earliest start marker before it that carries the same cue
// index and label value and has no end yet (a cue index met again after 32 cue points pairs in
// order of position, as it was written).
CodeRegions PairRegions(std::span<const RegionMark> marks);

}  // namespace velkin::decode
