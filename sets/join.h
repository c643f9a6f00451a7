// The clips of a set joined into one 16-bit mono sound with one region per clip: a cue point at
// its start, an "ltxt" length of its length and a "labl" text of its label value, so that the
// encoders' own walk finds every region and marks it in the code stream with the clip's cue index
// and label value. Pauses lie between the regions as digital silence.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "riff/wave_file.h"

namespace velkin::sets {

// The code file's header counts samples in 24 bits.
inline constexpr std::uint64_t kMaxImageSamples = 0xFFFFFF;

struct JoinedRegion {
  std::uint32_t cue = 0;    // its cue index: the clip's position, from 0
  std::uint32_t label = 0;  // its label value
  std::uint64_t start = 0;  // first sample
  std::uint64_t length = 0;
  std::uint64_t pause = 0;  // silent samples after it, outside the region
};

struct JoinedSound {
  std::uint32_t rate = 0;
  std::vector<std::int16_t> samples;
  std::vector<JoinedRegion> regions;

  // The markers as the WAV file carries them: identifier cue + 1, position, length, label text.
  std::vector<riff::Marker> Markers() const;
  // The joined sound as a WAV file.
  std::vector<std::uint8_t> WaveBytes() const;
  // Where the encoders' segments end, in their order: before each region (the first segment,
  // before region 0, is empty), at its end, and the last at the end of the sound. A region's end
  // and the next region's start coincide when there is no pause, which leaves an empty segment.
  std::vector<std::uint64_t> SegmentEnds() const;
};

// Joins the clips (16-bit mono at `rate`) in order, with `labels[i]` and `pauses[i]` seconds of
// silence after clip i. Nothing, with the reason, when the sound is longer than a code file counts.
std::optional<JoinedSound> JoinClips(const std::vector<std::vector<std::int16_t>>& clips,
                                     const std::vector<std::uint32_t>& labels, const std::vector<double>& pauses,
                                     std::uint32_t rate, std::string& error);

}  // namespace velkin::sets
