#include "sets/regions.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "formats/code_file_layout.h"
#include "sets/quality.h"

namespace velkin::sets {
namespace {

// A region that is its clip, coded, is far closer to it than to anything else: even 4-bit ADPCM
// at its coarsest stays well above this, while another sound, or silence, stays near 0 dB or below.
constexpr double kSameSoundDb = 3.0;
// The shift can grow by at most one per segment; around the region before, this covers the
// region's own segment and a pause before it with room to spare.
constexpr int kShiftSearch = 3;

}  // namespace

std::optional<std::vector<StreamRegion>> SplitRegions(const decode::DecodedFile& decoded, std::string& error) {
  std::vector<StreamRegion> regions;
  const auto& marks = decoded.marks;
  if (marks.size() % 2 != 0) {
    error = "the stream has " + std::to_string(marks.size()) + " region markers, not pairs";
    return std::nullopt;
  }
  for (std::size_t i = 0; i < marks.size(); i += 2) {
    const auto& start = marks[i];
    const auto& end = marks[i + 1];
    if (start.type != codefile::kRegionStart || end.type != codefile::kRegionEnd || start.cue != end.cue) {
      error = "region markers " + std::to_string(i + 1) + " and " + std::to_string(i + 2) +
              " are not the start and end of one region";
      return std::nullopt;
    }
    regions.push_back({start.cue, start.label, start.at_sample, end.at_sample, start.at_byte, end.at_byte});
  }
  return regions;
}

std::vector<std::int16_t> AlignedRegion(std::span<const std::int16_t> region, int shift, std::size_t length) {
  std::vector<std::int16_t> out(length, 0);
  for (std::size_t j = 0; j < length; ++j) {
    const std::int64_t i = static_cast<std::int64_t>(j) + shift;
    if (i >= 0 && i < static_cast<std::int64_t>(region.size())) out[j] = region[static_cast<std::size_t>(i)];
  }
  return out;
}

RegionMatch MatchRegion(const StreamRegion& region, std::span<const std::int16_t> decoded,
                        std::span<const std::int16_t> clip, std::uint32_t rate, std::uint32_t cue, std::uint32_t label,
                        int shift_hint) {
  RegionMatch match;
  const std::uint64_t end = std::min<std::uint64_t>(region.end, decoded.size());
  const std::uint64_t begin = std::min(region.begin, end);
  const auto samples = decoded.subspan(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
  match.length = samples.size();
  match.shift = WholeLag(clip, samples, shift_hint - kShiftSearch, shift_hint + kShiftSearch);

  const auto aligned = AlignedRegion(samples, match.shift, clip.size());
  // Compared where the region has samples: a shifted or shortened region lacks its last ones.
  const auto held = static_cast<std::size_t>(std::clamp<std::int64_t>(
      static_cast<std::int64_t>(samples.size()) - match.shift, 0, static_cast<std::int64_t>(clip.size())));
  const std::size_t from = match.shift < 0 ? static_cast<std::size_t>(-match.shift) : 0;
  for (std::size_t j = from; j < held; ++j) match.maxError = std::max(match.maxError, std::abs(aligned[j] - clip[j]));
  if (held > from) {
    match.snrDb = Measure(clip.subspan(from, held - from),
                          std::span<const std::int16_t>(aligned).subspan(from, held - from), rate, from)
                      .snrDb;
  }

  std::vector<std::string> faults;
  if (region.cue != (cue & codefile::kMarkerCueMask)) {
    faults.push_back("cue index " + std::to_string(region.cue) + " where " + std::to_string(cue) + " was written");
  }
  if (region.label != (label & 0xFF)) {
    faults.push_back("label " + std::to_string(region.label) + " where " + std::to_string(label) + " was written");
  }
  // The encoders leave a segment's last sample uncoded when a block ends one short of it, and the
  // 4-bit encoder can give a block that ends the segment an odd length by repeating its last
  // sample: one sample fewer or one more is the encoders' own way.
  if (samples.size() + 1 < clip.size() || samples.size() > clip.size() + 1) {
    faults.push_back(std::to_string(samples.size()) + " samples where the clip has " + std::to_string(clip.size()));
  }
  if (match.snrDb < kSameSoundDb) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f", match.snrDb);
    faults.push_back(std::string("its sound is not the clip's (SNR ") + text + " dB)");
  }
  match.ok = faults.empty();
  for (std::size_t i = 0; i < faults.size(); ++i) match.note += (i ? "; " : "") + faults[i];
  if (match.ok) {
    std::vector<std::string> notes;
    if (samples.size() + 1 == clip.size()) notes.push_back("its last sample is not coded");
    if (samples.size() == clip.size() + 1) notes.push_back("its last sample is coded twice");
    if (match.shift > 0) {
      notes.push_back("it starts " + std::to_string(match.shift) + (match.shift == 1 ? " sample" : " samples") +
                      " early (segments before it that ended one sample short)");
    }
    for (std::size_t i = 0; i < notes.size(); ++i) match.note += (i ? "; " : "") + notes[i];
  }
  return match;
}

}  // namespace velkin::sets
