#include "block_search.h"

#include <algorithm>
#include <limits>

#include "trial_step.h"

namespace velkin::adpcm4 {

namespace {

constexpr std::uint16_t kNotJoined = std::numeric_limits<std::uint16_t>::max();

// How often the side-by-side trials are checked for ones that have come together.
constexpr std::size_t kJoinCheckInterval = 4;

std::uint64_t Square(std::int32_t d) {
  return static_cast<std::uint64_t>(std::int64_t{d} * d);
}

// Finds trials in the same state (predictor and index) after a sample: a small open-addressed
// table keyed by the state, emptied cheaply by a generation stamp.
class StateTable {
 public:
  // Returns the slot stored for the key, or stores `slot` and returns -1.
  int FindOrAdd(std::uint32_t key, int slot) {
    std::uint32_t i = (key * 2654435761u) >> (32 - kBits);
    for (;;) {
      Entry& e = entries_[i];
      if (e.generation != generation_) {
        e = {key, generation_, slot};
        return -1;
      }
      if (e.key == key) return e.slot;
      i = (i + 1) & (kSize - 1);
    }
  }
  void Clear() { ++generation_; }

 private:
  static constexpr unsigned kBits = 9;
  static constexpr std::uint32_t kSize = 1u << kBits;
  struct Entry {
    std::uint32_t key = 0;
    std::uint32_t generation = 0;
    int slot = 0;
  };
  std::array<Entry, kSize> entries_{};
  std::uint32_t generation_ = 1;
};

}  // namespace

const TrialTables& Trial() {
  static const TrialTables tables = [] {
    TrialTables built{};
    const StepTable& steps = Steps();
    for (std::uint16_t x = 0; x < kStepCount; ++x) {
      const std::uint64_t y = steps[x];
      built.reciprocal[x] = ((std::uint64_t{1} << kReciprocalShift) + y - 1) / y;
      for (std::uint8_t m = 0; m < 8; ++m) {
        built.move[x][m] = StepDelta(m, steps[x]) | (std::uint32_t{NextTrialIndex(x, m)} << 16);
      }
    }
    return built;
  }();
  return tables;
}

BlockSearch::BlockSearch() : cum_(kStepCount) {
  Trial();
}

BlockSearch::Outcome BlockSearch::SingleTrial(std::uint16_t start, std::size_t length, std::uint64_t limit) const {
  const std::uint16_t* u = u_->data();
  const TrialTables& rows = Trial();
  std::int32_t v = StartPredictor(u[0]);
  std::uint32_t x = start;
  std::uint64_t error = Square(std::int32_t{u[0]} - v);
  for (std::size_t j = 1; j < length; ++j) {
    const std::int32_t z = u[j];
    TrialStep(z, v, x, rows);
    error += Square(z - v);
    if (error > limit) return {error, false};
  }
  return {error, error <= limit};
}

void BlockSearch::RunAllTrials(std::size_t length, std::uint64_t limit) {
  const std::uint16_t* u = u_->data();
  const TrialTables& tables = Trial();

  // The trials still running, one slot each, kept packed at the front. A slot runs one trial
  // for itself and for every trial that joined it; `cap` is the slot's error at which the least
  // of them exceeds the limit.
  struct Slots {
    std::array<std::int32_t, kStepCount> v;
    std::array<std::uint32_t, kStepCount> x;
    std::array<std::int64_t, kStepCount> error;
    std::array<std::int64_t, kStepCount> cap;
    std::array<std::uint8_t, kStepCount> start;
  } slots;
  auto move_slot = [&slots](std::size_t to, std::size_t from) {
    slots.v[to] = slots.v[from];
    slots.x[to] = slots.x[from];
    slots.error[to] = slots.error[from];
    slots.cap[to] = slots.cap[from];
    slots.start[to] = slots.start[from];
  };

  std::size_t running = kStepCount;
  const std::int32_t v0 = StartPredictor(u[0]);
  const auto e0 = static_cast<std::int64_t>(Square(std::int32_t{u[0]} - v0));
  for (std::uint16_t s = 0; s < kStepCount; ++s) {
    slots.v[s] = v0;
    slots.x[s] = s;
    slots.error[s] = e0;
    slots.cap[s] = static_cast<std::int64_t>(limit);
    slots.start[s] = static_cast<std::uint8_t>(s);
    cum_[s][0] = static_cast<std::uint64_t>(e0);
    last_[s] = 0;
    joined_at_[s] = kNotJoined;
  }

  StateTable states;
  std::size_t j = 1;
  for (; j < length && running > 0; ++j) {
    const std::int32_t z = u[j];
    bool dropped = false;
    for (std::size_t i = 0; i < running; ++i) {
      std::int32_t v = slots.v[i];
      std::uint32_t x = slots.x[i];
      TrialStep(z, v, x, tables);
      const std::int64_t error = slots.error[i] + static_cast<std::int64_t>(Square(z - v));
      cum_[slots.start[i]][j] = static_cast<std::uint64_t>(error);
      slots.v[i] = v;
      slots.x[i] = x;
      slots.error[i] = error;
      dropped |= error > slots.cap[i];
    }
    if (dropped) {
      std::size_t kept = 0;
      for (std::size_t i = 0; i < running; ++i) {
        if (slots.error[i] > slots.cap[i]) {
          last_[slots.start[i]] = static_cast<std::uint16_t>(j);
        } else {
          if (kept != i) move_slot(kept, i);
          ++kept;
        }
      }
      running = kept;
    }

    if (j % kJoinCheckInterval != 0) continue;
    states.Clear();
    std::size_t kept = 0;
    for (std::size_t i = 0; i < running; ++i) {
      const std::uint32_t key = (static_cast<std::uint32_t>(slots.v[i]) << 7) | slots.x[i];
      const int other = states.FindOrAdd(key, static_cast<int>(kept));
      if (other < 0) {
        if (kept != i) move_slot(kept, i);
        ++kept;
        continue;
      }
      // Same state as the trial in slot `other`: from the next sample on this one's error is
      // that trial's plus the present difference.
      const std::uint8_t s = slots.start[i];
      const auto target = static_cast<std::size_t>(other);
      const std::int64_t offset = slots.error[i] - slots.error[target];
      alias_[s] = slots.start[target];
      alias_offset_[s] = offset;
      joined_at_[s] = static_cast<std::uint16_t>(j + 1);
      last_[s] = static_cast<std::uint16_t>(j);
      slots.cap[target] = std::max(slots.cap[target], slots.cap[i] - offset);
    }
    running = kept;
  }
  for (std::size_t i = 0; i < running; ++i) last_[slots.start[i]] = static_cast<std::uint16_t>(j - 1);

  longest_known_ = 0;
  for (std::uint16_t s = 0; s < kStepCount; ++s) {
    if (joined_at_[s] == kNotJoined) longest_known_ = std::max<std::size_t>(longest_known_, last_[s]);
  }
}

bool BlockSearch::Lookup(std::uint16_t start, std::size_t k, std::uint64_t& error) const {
  std::int64_t offset = 0;
  std::uint16_t s = start;
  while (k >= joined_at_[s]) {
    offset += alias_offset_[s];
    s = alias_[s];
  }
  if (k > last_[s]) return false;
  error = static_cast<std::uint64_t>(static_cast<std::int64_t>(cum_[s][k]) + offset);
  return true;
}

bool BlockSearch::LeastRecorded(std::size_t length, std::uint64_t limit, std::uint16_t& chosen) const {
  if (length - 1 > longest_known_) return false;
  bool found = false;
  std::uint64_t best = 0;
  for (std::uint16_t s = 0; s < kStepCount; ++s) {
    std::uint64_t error;
    if (Lookup(s, length - 1, error) && error <= limit && (!found || error < best)) {
      found = true;
      best = error;
      chosen = s;
    }
  }
  return found;
}

std::uint16_t BlockSearch::LeastOverrun(std::size_t length, std::uint64_t limit) const {
  std::uint64_t least = std::numeric_limits<std::uint64_t>::max();
  std::uint16_t chosen = 0;
  for (std::uint16_t s = 0; s < kStepCount; ++s) {
    // The running error never falls: bisect for the first sample past the limit. Every trial
    // overran within `length`, and the samples up to its overrun are recorded.
    std::size_t lo = 0;
    std::size_t hi = length - 1;
    while (lo < hi) {
      const std::size_t mid = (lo + hi) / 2;
      std::uint64_t error;
      if (Lookup(s, mid, error) && error <= limit) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    std::uint64_t error = 0;
    Lookup(s, lo, error);
    if (error < least) {
      least = error;
      chosen = s;
    }
  }
  return chosen;
}

std::uint16_t BlockSearch::FinalIndexOneByOne(std::size_t length, std::uint16_t fallback) {
  bool found = false;
  std::uint64_t best = 0;
  std::uint16_t chosen = fallback;
  auto consider = [&](std::uint16_t s) {
    const Outcome o = SingleTrial(s, length, found ? best : kErrorCeiling - 1);
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
  return chosen;
}

BlockChoice BlockSearch::Choose(BlockBuffer& u, std::size_t count, std::uint32_t remaining) {
  u_ = &u;
  std::size_t length = std::min(count, kMaxBlockLength);
  std::uint16_t x0 = hint_;

  // Length search. Within one pass the plain search keeps the lowest index of least error
  // among the trials that stay within the budget, whatever order they run in; only when none
  // does is the error at which each overran compared, and every trial then ran against the
  // budget alone. So one run of all trials, dropped at the error of a good guess, settles the
  // first pass; as a trial's running error does not depend on the length tried, the shorter
  // passes are read from the same record.
  const std::uint64_t first_budget = length * kBudgetPerSample;
  const Outcome guess = SingleTrial(hint_, length, first_budget);
  RunAllTrials(length, guess.completed ? guess.error : first_budget);
  bool within_budget;
  for (;;) {
    // A mean squared error within 511^2: the square root of best / length against 511, in
    // exact integers.
    const std::uint64_t budget = length * kBudgetPerSample;
    within_budget = LeastRecorded(length, budget, x0);
    if (within_budget || length <= kShortestShrunkLength) break;
    length -= kLengthStep;
  }
  if (!within_budget) x0 = LeastOverrun(length, length * kBudgetPerSample);
  const std::size_t searched_length = length;

  // Refinement: end the block before the first badly coded sample from index 15 on.
  if (length > kShortestRefined) {
    const TrialTables& rows = Trial();
    std::int32_t v = StartPredictor(u[0]);
    std::uint32_t x = x0;
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
        break;
      }
    }
    if (length % 2 == 0) --length;
  }

  // Odd length (only short blocks get here with an even length).
  bool buffer_changed = false;
  if (length == 1) {
    u[1] = u[0];
    u[2] = u[0];
    length = 3;
    buffer_changed = true;
  }
  if (length % 2 == 0) {
    u[length] = u[length - 1];
    ++length;
    buffer_changed = true;
  }

  // Final index search. On the searched length itself the length search's choice stands. On a
  // shorter one the least error is at most the searched one, so every trial dropped earlier
  // is out of the running and the record settles it. After a budget overrun or a change of
  // the buffer the trials are run again.
  if (buffer_changed || !within_budget) {
    x0 = FinalIndexOneByOne(length, x0);
  } else if (length != searched_length) {
    LeastRecorded(length, kErrorCeiling - 1, x0);
  }
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
