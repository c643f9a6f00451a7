#include "sets/join.h"

#include <cmath>
#include <cstdio>

namespace velkin::sets {

std::vector<riff::Marker> JoinedSound::Markers() const {
  std::vector<riff::Marker> markers;
  markers.reserve(regions.size());
  for (const JoinedRegion& r : regions) {
    // The encoders pair label texts with cue points by identifier (cue index + 1) and region
    // lengths by order; the label is read as the decimal number the text starts with.
    markers.push_back({r.cue + 1, static_cast<std::uint32_t>(r.start), static_cast<std::uint32_t>(r.length),
                       std::to_string(r.label)});
  }
  return markers;
}

std::vector<std::uint8_t> JoinedSound::WaveBytes() const {
  const std::vector<riff::Marker> markers = Markers();
  return riff::Pcm16WaveBytes({.rate = rate, .channels = 1, .samples = samples, .markers = markers});
}

std::vector<std::uint64_t> JoinedSound::SegmentEnds() const {
  std::vector<std::uint64_t> ends;
  for (const JoinedRegion& r : regions) {
    ends.push_back(r.start);
    ends.push_back(r.start + r.length);
  }
  ends.push_back(samples.size());
  return ends;
}

std::optional<JoinedSound> JoinClips(const std::vector<std::vector<std::int16_t>>& clips,
                                     const std::vector<std::uint32_t>& labels, const std::vector<double>& pauses,
                                     std::uint32_t rate, std::string& error) {
  JoinedSound out;
  out.rate = rate;
  std::uint64_t total = 0;
  std::vector<std::uint64_t> pause_samples(clips.size());
  for (std::size_t i = 0; i < clips.size(); ++i) {
    const double pause = i < pauses.size() ? pauses[i] : 0.0;
    pause_samples[i] = static_cast<std::uint64_t>(std::llround(std::max(0.0, pause) * rate));
    total += clips[i].size() + pause_samples[i];
  }
  if (total > kMaxImageSamples) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(total) / rate);
    error = "the joined sound has " + std::to_string(total) + " samples (" + seconds + " s at " + std::to_string(rate) +
            " Hz), and a code file counts at most " + std::to_string(kMaxImageSamples);
    return std::nullopt;
  }
  out.samples.reserve(static_cast<std::size_t>(total));
  for (std::size_t i = 0; i < clips.size(); ++i) {
    JoinedRegion region;
    region.cue = static_cast<std::uint32_t>(i);
    region.label = i < labels.size() ? labels[i] : static_cast<std::uint32_t>(i + 1);
    region.start = out.samples.size();
    region.length = clips[i].size();
    region.pause = pause_samples[i];
    out.samples.insert(out.samples.end(), clips[i].begin(), clips[i].end());
    out.samples.insert(out.samples.end(), static_cast<std::size_t>(region.pause), std::int16_t{0});
    out.regions.push_back(region);
  }
  return out;
}

}  // namespace velkin::sets
