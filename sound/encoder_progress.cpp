#include "sound/encoder_progress.h"

#include <algorithm>

namespace velkin::sound {

EncoderProgress::EncoderProgress(std::span<const riff::Marker> markers, std::uint64_t samples) {
  for (const riff::Marker& m : markers) {
    ends_.push_back(m.position);
    ends_.push_back(std::uint64_t{m.position} + m.length);
  }
  std::sort(ends_.begin(), ends_.end());
  ends_.push_back(samples);
}

int EncoderProgress::Overall(int percent) {
  const auto p = static_cast<std::uint64_t>(std::clamp(percent, 0, 100));
  if (p == 100) {
    ended_ = true;
  } else if (ended_) {
    // A new segment: the first whose end puts this report at or after the end before it (the
    // report is truncated, so it may stand up to a percent short). Empty segments are passed over.
    ended_ = false;
    while (segment_ + 1 < ends_.size()) {
      ++segment_;
      if ((p + 1) * ends_[segment_] > 100 * ends_[segment_ - 1]) break;
    }
  }
  const std::uint64_t total = ends_.back();
  const std::uint64_t at = ends_[segment_] * p / 100;
  const int overall = total == 0 ? 100 : static_cast<int>(std::min<std::uint64_t>(at * 100 / total, 100));
  shown_ = std::max(shown_, overall);
  return shown_;
}

}  // namespace velkin::sound
