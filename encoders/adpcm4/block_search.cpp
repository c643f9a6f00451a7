#include "block_search.h"

#include <algorithm>

#include "trial_step.h"

namespace velkin::adpcm4 {

namespace {

std::uint64_t Square(std::int32_t d) {
  return static_cast<std::uint64_t>(std::int64_t{d} * d);
}

}  // namespace

const std::array<StepRow, kStepCount>& StepRows() {
  static const std::array<StepRow, kStepCount> rows = [] {
    std::array<StepRow, kStepCount> built{};
    const StepTable& steps = Steps();
    for (std::uint16_t x = 0; x < kStepCount; ++x) {
      const std::uint64_t y = steps[x];
      StepRow& row = built[x];
      row.reciprocal = ((std::uint64_t{1} << kReciprocalShift) + y - 1) / y;
      for (std::uint8_t m = 0; m < 8; ++m) {
        row.delta[m] = StepDelta(m, steps[x]);
        row.next[m] = NextTrialIndex(x, m);
      }
    }
    return built;
  }();
  return rows;
}

BlockSearch::BlockSearch() {
  StepRows();
}

void BlockSearch::Reset(const BlockBuffer& u) {
  u_ = &u;
  for (Track& t : tracks_) t.done = 0;
}

void BlockSearch::Extend(Track& track, std::size_t length, std::uint64_t limit) {
  const auto s = static_cast<std::size_t>(&track - tracks_.data());
  std::uint64_t* cum = cum_[s].data();
  const std::uint16_t* u = u_->data();
  if (track.done == 0) {
    track.v = StartPredictor(u[0]);
    track.x = static_cast<std::uint16_t>(s);
    cum[0] = Square(std::int32_t{u[0]} - track.v);
    track.done = 1;
    if (cum[0] > limit) return;
  }
  const auto& rows = StepRows();
  std::int32_t v = track.v;
  std::uint16_t x = track.x;
  std::size_t j = track.done;
  std::uint64_t error = cum[j - 1];
  while (j < length) {
    const std::int32_t z = u[j];
    TrialStep(z, v, x, rows);
    error += Square(z - v);
    cum[j] = error;
    ++j;
    if (error > limit) break;
  }
  track.v = static_cast<std::uint16_t>(v);
  track.x = x;
  track.done = static_cast<std::uint16_t>(j);
}

BlockSearch::Outcome BlockSearch::Evaluate(std::uint16_t start, std::size_t length, std::uint64_t limit) {
  Track& track = tracks_[start];
  const std::uint64_t* cum = cum_[start].data();
  if (track.done == 0 || (track.done < length && cum[track.done - 1] <= limit)) Extend(track, length, limit);
  const std::size_t known = std::min<std::size_t>(track.done, length);
  // The running error never falls, so the first sample past the limit is found by bisection.
  const std::uint64_t* over = std::upper_bound(cum, cum + known, limit);
  if (over != cum + known) return {*over, false};
  return {cum[length - 1], true};
}

std::uint16_t BlockSearch::FinalIndex(std::size_t length, std::uint16_t fallback) {
  bool found = false;
  std::uint64_t best = 0;
  std::uint16_t chosen = fallback;
  auto consider = [&](std::uint16_t s) {
    const Outcome o = Evaluate(s, length, found ? best : kErrorCeiling - 1);
    if (o.completed && (!found || o.error < best || (o.error == best && s < chosen))) {
      found = true;
      best = o.error;
      chosen = s;
    }
  };
  consider(fallback);
  for (std::uint16_t s = 0; s < kStepCount; ++s) {
    if (s != fallback) consider(s);
  }
  return found ? chosen : fallback;
}

BlockChoice BlockSearch::Choose(BlockBuffer& u, std::size_t count, std::uint32_t remaining) {
  Reset(u);
  std::size_t length = std::min(count, kMaxBlockLength);
  std::uint16_t x0 = hint_;
  bool final_known = false;

  // Length search. Within one pass the plain search keeps the lowest index of least error among
  // the trials that stay within the budget, whatever order they run in; only when none does is
  // the error at which each overran the budget compared, and then every trial ran against the
  // budget alone. So the trials may run best guess first and be cut off at the best so far.
  for (;;) {
    const std::uint64_t budget = length * kBudgetPerSample;
    bool found = false;
    std::uint64_t best = 0;
    std::uint16_t chosen = 0;
    std::uint64_t least_overrun = 0;
    std::uint16_t overrun_index = 0;
    auto consider = [&](std::uint16_t s) {
      const Outcome o = Evaluate(s, length, found ? best : budget);
      if (o.completed) {
        if (!found || o.error < best || (o.error == best && s < chosen)) {
          found = true;
          best = o.error;
          chosen = s;
        }
      } else if (!found && (s == x0 || o.error < least_overrun || (o.error == least_overrun && s < overrun_index))) {
        // (the first trial of a pass is the guess x0, which initialises the comparison)
        least_overrun = o.error;
        overrun_index = s;
      }
    };
    consider(x0);
    for (std::uint16_t s = 0; s < kStepCount; ++s) {
      if (s != x0) consider(s);
    }
    if (found) {
      // Mean squared error within 511^2: the same comparison as the square root of best / length
      // against 511, in exact integers.
      x0 = chosen;
      final_known = true;
      break;
    }
    if (length > kShortestShrunkLength) {
      length -= kLengthStep;
      continue;
    }
    x0 = overrun_index;
    break;
  }

  // Refinement: end the block before the first badly coded sample from index 15 on.
  if (length > kShortestRefined) {
    const auto& rows = StepRows();
    std::int32_t v = StartPredictor(u[0]);
    std::uint16_t x = x0;
    for (std::size_t j = 1; j < length; ++j) {
      const std::int32_t z = u[j];
      TrialStep(z, v, x, rows);
      if (j < kShortestRefined) continue;
      const std::int32_t s = z - 32768;
      const std::int32_t miss = v > z ? v - z : z - v;
      // Outside +-1024 a sample is bad when the miss is 30 % of its amplitude or more
      // (10 * miss >= 3 * |s| is that ratio test without rounding).
      const bool bad = (s > -1024 && s < 1024) ? miss >= 256 : 10 * miss >= 3 * (s < 0 ? -s : s);
      if (bad) {
        length = j;
        final_known = false;
        break;
      }
    }
    if (length % 2 == 0) {
      --length;
      final_known = false;
    }
  }

  // Odd length (only short blocks get here with an even length).
  if (length == 1) {
    u[1] = u[0];
    u[2] = u[0];
    length = 3;
    Reset(u);
    final_known = false;
  }
  if (length % 2 == 0) {
    u[length] = u[length - 1];
    ++length;
    Reset(u);
    final_known = false;
  }

  // Final index search. When the last length pass ran on this very length and found trials
  // within the budget, its choice is already the lowest index of least error.
  if (!final_known) x0 = FinalIndex(length, x0);
  hint_ = x0;

  // Segment-end take-in. Taking in a tail that would leave a block of 1 sample is left out: its
  // length byte would equal the escape byte and the stream could not be read back.
  if (length + kTailTakeIn > remaining && length < kLongestTakeIn) {
    std::size_t tail = remaining;
    if (tail % 2 == 0) --tail;
    if (tail >= 3) length = tail;
  }
  return {length, x0};
}

}  // namespace velkin::adpcm4
