#include "code_framing.h"

#include <utility>

namespace velkin::encoder {

std::vector<RegionEvent> SortedRegionEvents(const std::vector<std::uint32_t>& cue_positions,
                                            const std::vector<std::uint32_t>& region_lengths) {
  std::vector<RegionEvent> events;
  events.reserve(cue_positions.size() * 2);
  for (std::size_t i = 0; i < cue_positions.size(); ++i) {
    const std::uint32_t length = i < region_lengths.size() ? region_lengths[i] : 0;
    const auto index = static_cast<std::uint32_t>(i);
    events.push_back({index, codefile::kRegionStart, cue_positions[i]});
    events.push_back({index, codefile::kRegionEnd, cue_positions[i] + length});
  }
  // Not a stable sort: the order of equal positions is part of the file format.
  for (std::size_t i = 0; i < events.size(); ++i) {
    for (std::size_t j = i; j < events.size(); ++j) {
      if (events[i].position > events[j].position) std::swap(events[i], events[j]);
    }
  }
  return events;
}

}  // namespace velkin::encoder
