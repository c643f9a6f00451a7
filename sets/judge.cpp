#include "sets/judge.h"

#include <algorithm>
#include <cmath>

#include "sound/prepare.h"

namespace velkin::sets {
namespace {

// Silence between the clips of a track, at the image's rate: more than the converter's filter
// reaches on either side (43 samples when it raises the rate, about 33 per halving when it lowers
// it), so that no clip's sound reaches into another's stretch.
std::size_t GapFor(std::uint32_t rate, std::uint32_t own_rate) {
  const double lowering = std::max(1.0, static_cast<double>(rate) / own_rate);
  return static_cast<std::size_t>(std::ceil(33.0 * lowering + 10.0)) + 64;
}

// The converter's time register steps by the ratio of the rates rounded to 15 fraction bits: a
// relative error of at most 0.5 in 4096 at the largest ratio fit meets (6000 Hz to 48 kHz), so a
// clip far into a track lies up to this much of its position away from where the ratio puts it.
constexpr double kMaxCreep = 0.5 / 4096.0;
// How far the creep's pace, once measured between two clips, can be off.
constexpr double kPaceSlack = 2e-5;

std::int16_t Clamped(float v) {
  return static_cast<std::int16_t>(std::clamp(std::lrint(v), -32768L, 32767L));
}

}  // namespace

bool RateJudge::Convert(const std::vector<std::vector<std::int16_t>>& clips, JudgeScratch& scratch,
                        std::string& error) const {
  scratch.converted.resize(tracks_.size());
  for (std::size_t g = 0; g < tracks_.size(); ++g) {
    scratch.track.assign(tracks_[g].length, 0);
    for (std::size_t i = 0; i < places_.size(); ++i) {
      const Place& p = places_[i];
      if (p.group != g) continue;
      const std::size_t n = std::min(p.length, clips[i].size());
      std::copy_n(clips[i].begin(), n, scratch.track.begin() + static_cast<std::ptrdiff_t>(p.at));
    }
    if (!sound::Resample(scratch.track, rate_, tracks_[g].ownRate, scratch.converted[g], error)) return false;
  }
  return true;
}

bool RateJudge::Make(const std::vector<LoadedClip>& clips, const std::vector<std::vector<std::int16_t>>& at_rate,
                     std::uint32_t rate, std::string& error) {
  rate_ = rate;
  tracks_.clear();
  places_.assign(clips.size(), {});
  for (std::size_t i = 0; i < clips.size(); ++i) {
    const std::uint32_t own = clips[i].ownRate;
    auto track = std::find_if(tracks_.begin(), tracks_.end(), [&](const Track& t) { return t.ownRate == own; });
    if (track == tracks_.end()) track = tracks_.insert(tracks_.end(), Track{own, GapFor(rate, own)});
    Place& p = places_[i];
    p.group = static_cast<std::size_t>(track - tracks_.begin());
    p.at = track->length;
    p.length = at_rate[i].size();
    track->length += p.length + GapFor(rate, own);
  }
  JudgeScratch scratch;
  if (!Convert(at_rate, scratch, error)) return false;
  const std::vector<std::vector<std::int16_t>>& converted = scratch.converted;

  uncoded_.assign(clips.size(), {});
  delays_.assign(clips.size(), {});
  // Each track's creep: how far from where the ratio puts it each clip was found, against where
  // the ratio puts it. It grows steadily along the track, so the clips found so far tell where to
  // look for the next, closely: a wide search far into a long track can lock onto a pitch period
  // of the voice instead of the voice.
  std::vector<std::vector<std::pair<double, double>>> creeps(tracks_.size());
  for (std::size_t i = 0; i < clips.size(); ++i) {
    Place& p = places_[i];
    const std::uint32_t own = clips[i].ownRate;
    const std::vector<std::int16_t>& whole = converted[p.group];
    const double ratio = static_cast<double>(own) / rate;
    const double expected = std::floor(static_cast<double>(p.at) * ratio);
    const int reach = 4 + static_cast<int>(std::ceil(ratio));
    std::int64_t spread = static_cast<std::int64_t>(std::ceil(kMaxCreep * expected)) + reach;
    double predicted = 0.0;
    const auto& seen = creeps[p.group];
    if (!seen.empty()) {
      // From the clip before, at the pace the clips before showed (the median of their steps);
      // with one clip found, the pace is not known yet and the search spans the largest creep.
      const auto [last_at, last_creep] = seen.back();
      std::vector<double> paces;
      for (std::size_t k = 1; k < seen.size(); ++k) {
        if (seen[k].first > seen[k - 1].first) {
          paces.push_back((seen[k].second - seen[k - 1].second) / (seen[k].first - seen[k - 1].first));
        }
      }
      const double distance = expected - last_at;
      if (paces.empty()) {
        predicted = last_creep;
        spread = static_cast<std::int64_t>(std::ceil(kMaxCreep * distance)) + reach + 4;
      } else {
        std::nth_element(paces.begin(), paces.begin() + static_cast<std::ptrdiff_t>(paces.size() / 2), paces.end());
        predicted = last_creep + paces[paces.size() / 2] * distance;
        spread = static_cast<std::int64_t>(std::ceil(kPaceSlack * distance)) + reach + 4;
      }
    }
    const auto centre = static_cast<std::int64_t>(std::llround(expected + predicted));
    const std::int64_t start = std::max<std::int64_t>(0, centre - spread);
    const auto length = static_cast<std::int64_t>(std::ceil(static_cast<double>(p.length) * ratio)) + 2 * spread;
    const std::int64_t end = std::min<std::int64_t>(static_cast<std::int64_t>(whole.size()), start + length);
    p.out = static_cast<std::size_t>(start);
    const std::span<const std::int16_t> round_trip(whole.data() + p.out,
                                                   static_cast<std::size_t>(std::max<std::int64_t>(0, end - start)));

    const std::span<const std::int16_t> reference = clips[i].reference;
    const auto offset = static_cast<int>(centre - start);
    const DelayLine line =
        FitDelayLine(reference, round_trip, offset - static_cast<int>(spread), offset + static_cast<int>(spread));
    delays_[i] = line;
    creeps[p.group].emplace_back(expected, static_cast<double>(start) + line.offset - expected);
    // round_trip[n + a + b n] ~ reference[n]; so round_trip[m] ~ reference[(m - a) / (1 + b)]: the
    // reference read along that line stands where the round trip does.
    const DelayLine back{-line.offset / (1.0 + line.slope), 1.0 / (1.0 + line.slope) - 1.0};
    const std::vector<float> moved = Warped(reference, back, round_trip.size());
    p.reference.resize(moved.size());
    for (std::size_t k = 0; k < moved.size(); ++k) p.reference[k] = Clamped(moved[k]);
    // Compared only where the interpolation has all its taps inside the reference.
    const double speed = 1.0 + back.slope;
    const double first = std::ceil((kHalfTaps - back.offset) / speed);
    const double last =
        std::floor((static_cast<double>(reference.size()) - 1.0 - kHalfTaps - back.offset) / speed) + 1.0;
    p.from = static_cast<std::size_t>(std::clamp(first, 0.0, static_cast<double>(round_trip.size())));
    p.to = static_cast<std::size_t>(std::clamp(last, 0.0, static_cast<double>(round_trip.size())));
    if (p.to <= p.from) {
      p.from = 0;
      p.to = round_trip.size();
    }
    uncoded_[i] = Measure(std::span<const std::int16_t>(p.reference).subspan(p.from, p.to - p.from),
                          round_trip.subspan(p.from, p.to - p.from), own, p.from);
  }
  return true;
}

std::vector<Quality> RateJudge::Judge(const std::vector<std::vector<std::int16_t>>& regions, std::string& error,
                                      JudgeScratch* scratch) const {
  std::vector<Quality> out(places_.size());
  JudgeScratch own;
  JudgeScratch& work = scratch ? *scratch : own;
  if (!Convert(regions, work, error)) return out;
  const std::vector<std::vector<std::int16_t>>& converted = work.converted;
  for (std::size_t i = 0; i < places_.size(); ++i) {
    const Place& p = places_[i];
    const std::vector<std::int16_t>& whole = converted[p.group];
    const std::size_t to = std::min(p.to, whole.size() - std::min(whole.size(), p.out));
    if (to <= p.from) continue;
    out[i] = Measure(std::span<const std::int16_t>(p.reference).subspan(p.from, to - p.from),
                     std::span<const std::int16_t>(whole).subspan(p.out + p.from, to - p.from),
                     tracks_[p.group].ownRate, p.from);
  }
  return out;
}

}  // namespace velkin::sets
