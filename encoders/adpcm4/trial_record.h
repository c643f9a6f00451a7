// The running errors of the block search's side-by-side trials: every trial's error after every
// sample, as far as the trial ran.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>

#include "adpcm_codec.h"

namespace velkin::adpcm4 {

// One row per sample of the block, kStride errors wide, in one flat buffer that the vector code
// writes whole vectors into. Trials run in columns: a running trial keeps its column for a
// stretch of samples, and between stretches trials are dropped (their error passed the cap),
// joined to another trial in the same state (their error follows that trial's at a constant
// offset from then on) or moved to another column. The record keeps, per stretch, where every
// trial ran, so that ErrorAfter finds any trial's error after any sample it reached.
//
// An error the record gives is the sum of the trial's squared misses as counted here:
// - A miss of kLargestCountedMiss or more is counted as kLargestCountedMiss. Its square (just
//   below 2^30) already passes every cap the side-by-side run takes (below 2^29), and it keeps the
//   32-bit sums from wrapping. So a recorded error never steps by more than kLargestStep from one
//   sample to the next, and steps by exactly kLargestStep whenever the miss was that large or
//   larger: such a step may stand for a larger miss, whose exact error only coding the trial
//   again gives. Every smaller step is the exact squared miss.
// - The vector code holds its sums at 2^31 - 1, which no error the record gives reaches:
//   ErrorAfter reads a trial no further than the sample where the slot it ran in passed its cap,
//   and a cap plus one counted square stays below 2^31.
class TrialRecord {
 public:
  // The 121 trials rounded up to whole vectors of sixteen lanes.
  static constexpr std::size_t kStride = 128;
  static constexpr std::int32_t kLargestCountedMiss = 32767;
  static constexpr std::uint64_t kLargestStep = std::uint64_t{32767} * 32767;

  using Columns = std::array<std::uint8_t, kStepCount>;  // the column of every trial

  TrialRecord()
      : rows_(std::make_unique<std::int32_t[]>(kMaxBlockLength * kStride)),
        columns_(std::make_unique<Columns[]>(kMaxBlockLength)) {}

  // Row j holds the errors after sample j; the rows follow each other kStride apart.
  std::int32_t* Row(std::size_t j) { return rows_.get() + j * kStride; }
  const std::int32_t* Row(std::size_t j) const { return rows_.get() + j * kStride; }

  // A new record of `length` samples, every trial dropped once its error passes `cap`, starting
  // in `columns`. Sample 0 is a stretch of its own.
  void Begin(std::size_t length, std::uint64_t cap, const Columns& columns) {
    length_ = length;
    cap_ = cap;
    valid_ = true;
    now_ = columns;
    stretches_ = 0;
    last_.fill(0);
    joined_at_.fill(kNeverJoined);
    longest_known_ = 0;  // raised as trials end
    BeginStretch(0, 1);
  }
  // Samples first .. end - 1 are stepped with every running trial in the column it has now.
  void BeginStretch(std::size_t first, std::size_t end) {
    columns_[stretches_] = now_;
    std::fill(stretch_of_.begin() + static_cast<std::ptrdiff_t>(first),
              stretch_of_.begin() + static_cast<std::ptrdiff_t>(end), static_cast<std::uint8_t>(stretches_));
    ++stretches_;
  }
  // Trial s runs in `column` from the next stretch on.
  void Move(std::uint8_t s, std::size_t column) { now_[s] = static_cast<std::uint8_t>(column); }
  // Trial s ran up to sample `last`: it passed its cap there, or the run ended.
  void Ended(std::uint8_t s, std::size_t last) {
    last_[s] = static_cast<std::uint16_t>(last);
    longest_known_ = std::max(longest_known_, last);
  }
  // Trial s is in the same state as trial `other` after sample j, `offset` above its error, and
  // follows it from sample j + 1 on.
  void Joined(std::uint8_t s, std::uint8_t other, std::int64_t offset, std::size_t j) {
    joined_to_[s] = other;
    offset_[s] = offset;
    joined_at_[s] = static_cast<std::uint16_t>(j + 1);
    last_[s] = static_cast<std::uint16_t>(j);
  }
  // The first sample from `first` on after which the error in `column` is above `cap`; there is one
  // among the samples stepped so far.
  std::size_t FirstAbove(std::size_t column, std::size_t first, std::int32_t cap) const {
    std::size_t j = first;
    while (Row(j)[column] <= cap) ++j;
    return j;
  }
  // The block's samples changed after the run: nothing recorded describes them any longer.
  void Invalidate() { valid_ = false; }

  // Whether the record describes the block as it is now.
  bool valid() const { return valid_; }
  // Whether it holds every trial whose error after sample length - 1 stays within `limit`.
  bool Covers(std::size_t length, std::uint64_t limit) const { return valid_ && length <= length_ && limit <= cap_; }
  // The last sample after which some trial's error is known.
  std::size_t longest_known() const { return longest_known_; }

  // Whether trial s was dropped before sample k without joining another: true for most trials
  // after the first few samples, and cheaper to ask than ErrorAfter.
  bool DroppedBefore(std::uint16_t s, std::size_t k) const { return k > last_[s] && k < joined_at_[s]; }

  // The error of trial `start` after sample k; false when the trial was dropped before k.
  bool ErrorAfter(std::uint16_t start, std::size_t k, std::uint64_t& error) const {
    std::int64_t offset = 0;
    std::uint16_t s = start;
    while (k >= joined_at_[s]) {
      offset += offset_[s];
      s = joined_to_[s];
    }
    if (k > last_[s]) return false;
    error = static_cast<std::uint64_t>(std::int64_t{Row(k)[columns_[stretch_of_[k]][s]]} + offset);
    return true;
  }

 private:
  static constexpr std::uint16_t kNeverJoined = std::numeric_limits<std::uint16_t>::max();

  std::unique_ptr<std::int32_t[]> rows_;                    // kMaxBlockLength rows, about 130 KB
  std::unique_ptr<Columns[]> columns_;                      // by stretch: at most one per sample
  std::array<std::uint8_t, kMaxBlockLength> stretch_of_{};  // of every sample
  std::size_t stretches_ = 0;
  Columns now_{};  // the columns of the running trials
  std::array<std::uint16_t, kStepCount> last_{};
  std::array<std::uint16_t, kStepCount> joined_at_{};
  std::array<std::uint8_t, kStepCount> joined_to_{};
  std::array<std::int64_t, kStepCount> offset_{};
  std::size_t longest_known_ = 0;
  std::size_t length_ = 0;
  std::uint64_t cap_ = 0;
  bool valid_ = false;
};

}  // namespace velkin::adpcm4
