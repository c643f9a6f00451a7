// The encoders' side of the code-file framing: the order in which region markers are written. The
// bytes of the header and of the escape records are the shared code-file layout's (code_file_layout.h).
#pragma once

#include <cstdint>
#include <vector>

#include "formats/code_file_layout.h"

namespace velkin::encoder {

struct RegionEvent {
  std::uint32_t cue_index;
  std::uint8_t type;       // codefile::kRegionStart or codefile::kRegionEnd
  std::uint32_t position;  // sample position
};

// Two events per cue point (its start at P(i), its end at P(i) + length(i), wrapping like the unsigned
// 32-bit sum it is), sorted by position with the exchange sort the player's tools have always used, so
// that events at equal positions keep the order that sort gives them. A cue point without a length
// record has length 0.
std::vector<RegionEvent> SortedRegionEvents(const std::vector<std::uint32_t>& cue_positions,
                                            const std::vector<std::uint32_t>& region_lengths);

}  // namespace velkin::encoder
