// The encoders' progress over a whole sound. An encoder reports, after each block, the position it
// reached as a share of the end of the segment it is in (truncated to a whole percent), and 100 at
// the end of every segment, so a segment ends with 100 once or twice; the segments end at the
// markers' starts and ends, in order, then at the end of the sound. The first report below 100
// after a segment's end belongs to the next segment whose end can hold it: from there the position
// in the whole follows, as one bar that never goes back however many regions the sound has.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "riff/wave_file.h"

namespace velkin::sound {

class EncoderProgress {
 public:
  // `markers` as the encoder's input carries them, `samples` its length.
  EncoderProgress(std::span<const riff::Marker> markers, std::uint64_t samples);

  // The share of the whole sound done, 0..100, after a report of `percent`; never less than an
  // earlier answer.
  int Overall(int percent);

 private:
  std::vector<std::uint64_t> ends_;  // each segment's end, the sound's end last
  std::size_t segment_ = 0;
  bool ended_ = false;  // the current segment has reported its end
  int shown_ = 0;
};

}  // namespace velkin::sound
