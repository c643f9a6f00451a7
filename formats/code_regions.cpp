#include "formats/code_regions.h"

#include <algorithm>

#include "formats/code_file_layout.h"

namespace velkin::decode {
namespace {

bool SameRegion(const RegionMark& a, const RegionMark& b) {
  return a.cue == b.cue && a.label == b.label;
}

}  // namespace

CodeRegions PairRegions(std::span<const RegionMark> marks) {
  CodeRegions out;
  struct Open {
    std::size_t region;  // index into out.regions
    RegionMark start;
  };
  std::vector<Open> open;
  std::vector<RegionMark> loose_ends;  // ends met before any start of theirs
  std::vector<bool> ended;
  for (const RegionMark& mark : marks) {
    if (mark.type == codefile::kRegionStart) {
      // The encoders' sort does not keep the order of markers at one position, so the end of a
      // region of no length may come first.
      const auto early = std::find_if(loose_ends.begin(), loose_ends.end(), [&](const RegionMark& e) {
        return SameRegion(e, mark) && e.at_sample == mark.at_sample;
      });
      out.regions.push_back({mark.cue, mark.label, mark.at_sample, mark.at_sample});
      if (early != loose_ends.end()) {
        loose_ends.erase(early);
        ended.push_back(true);
      } else {
        ended.push_back(false);
        open.push_back({out.regions.size() - 1, mark});
      }
      continue;
    }
    if (mark.type != codefile::kRegionEnd) {
      out.unpaired.push_back(mark);
      continue;
    }
    const auto start = std::find_if(open.begin(), open.end(), [&](const Open& o) { return SameRegion(o.start, mark); });
    if (start == open.end()) {
      loose_ends.push_back(mark);
      continue;
    }
    out.regions[start->region].end = mark.at_sample;
    ended[start->region] = true;
    open.erase(start);
  }
  // A start without an end, or an end without a start, is no region.
  for (const Open& o : open) out.unpaired.push_back(o.start);
  out.unpaired.insert(out.unpaired.end(), loose_ends.begin(), loose_ends.end());
  std::stable_sort(out.unpaired.begin(), out.unpaired.end(),
                   [](const RegionMark& a, const RegionMark& b) { return a.at_sample < b.at_sample; });
  std::vector<CodeRegion> kept;
  for (std::size_t i = 0; i < out.regions.size(); ++i) {
    if (ended[i]) kept.push_back(out.regions[i]);
  }
  out.regions = std::move(kept);
  return out;
}

}  // namespace velkin::decode
