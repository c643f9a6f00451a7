#include "block_search.h"

#include <algorithm>
#include <cstring>
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

BlockSearch::BlockSearch() : tables_(&Trial()), record_(kMaxBlockLength + 1) {}

BlockSearch::Outcome BlockSearch::SingleTrial(std::uint16_t start, std::size_t length, std::uint64_t limit) const {
  const std::uint16_t* u = u_->data();
  const TrialTables& rows = *tables_;
  std::int32_t v = StartPredictor(u[0]);
  std::uint32_t x = start;
  std::uint64_t error = Square(std::int32_t{u[0]} - v);
  for (std::size_t j = 1; j < length; ++j) {
    const std::int32_t z = u[j];
    v = TrialStep(z, v, x, rows);
    error += Square(z - v);
    if (error > limit) return {error, false};
  }
  return {error, error <= limit};
}

namespace {

// Four trials are stepped at once with the compiler's generic vector type (SSE2 on x86, plain
// scalar code where there is no vector unit); the step table is read lane by lane. Only the
// operations every vector unit has are used: add, subtract, shift, and, or, xor, compare
// greater-than and a 32-bit multiply.
constexpr std::size_t kLanes = 4;
using Int32x4 = std::int32_t __attribute__((vector_size(kLanes * sizeof(std::int32_t))));
using Uint32x4 = std::uint32_t __attribute__((vector_size(kLanes * sizeof(std::uint32_t))));
using Int64x2 = std::int64_t __attribute__((vector_size(2 * sizeof(std::int64_t))));

}  // namespace

static_assert(BlockSearch::kSlotCapacity % kLanes == 0 && BlockSearch::kSlotCapacity >= kStepCount);

void BlockSearch::RunAllTrials(std::size_t length, std::uint64_t limit) {
  const std::uint16_t* u = u_->data();
  const StepTable& steps = Steps();

  // The trials still running, one slot each, kept packed at the front (the lanes past the last
  // slot are stepped too and ignored). A slot runs one trial for itself and for every trial that
  // joined it; `room` is how far its error may still grow before the least of them exceeds the
  // limit.
  struct Slots {
    alignas(64) std::array<std::int32_t, kSlotCapacity> v;
    alignas(64) std::array<std::int32_t, kSlotCapacity> x;
    alignas(64) std::array<std::int32_t, kSlotCapacity> y;  // step of x
    alignas(64) std::array<std::int64_t, kSlotCapacity> error;
    alignas(64) std::array<std::int64_t, kSlotCapacity> room;
    alignas(64) std::array<std::uint8_t, kSlotCapacity> start;
  } slots;

  moves_used_ = 0;
  auto place = [this](std::uint8_t s, std::size_t from, std::size_t slot) {
    moves_[moves_used_] = {static_cast<std::uint16_t>(from), static_cast<std::uint8_t>(slot), latest_move_[s]};
    latest_move_[s] = static_cast<std::int16_t>(moves_used_++);
  };
  // Empties slot `i` by moving the last running slot into it (its record moves with it from the
  // next sample on).
  std::size_t running = kStepCount;
  auto remove_slot = [&](std::size_t i, std::size_t next_sample) {
    const std::size_t last = --running;
    if (i == last) return;
    slots.v[i] = slots.v[last];
    slots.x[i] = slots.x[last];
    slots.y[i] = slots.y[last];
    slots.error[i] = slots.error[last];
    slots.room[i] = slots.room[last];
    slots.start[i] = slots.start[last];
    place(slots.start[i], next_sample, i);
  };

  const std::int32_t v0 = StartPredictor(u[0]);
  const auto e0 = static_cast<std::int64_t>(Square(std::int32_t{u[0]} - v0));
  for (std::size_t s = 0; s < kSlotCapacity; ++s) {
    const std::size_t index = std::min<std::size_t>(s, kTopIndex);
    slots.v[s] = v0;
    slots.x[s] = static_cast<std::int32_t>(index);
    slots.y[s] = steps[index];
    slots.error[s] = e0;
    slots.room[s] = static_cast<std::int64_t>(limit) - e0;
    slots.start[s] = static_cast<std::uint8_t>(index);
  }
  for (std::uint8_t s = 0; s < kStepCount; ++s) {
    latest_move_[s] = -1;
    place(s, 0, s);
    last_[s] = 0;
    joined_at_[s] = kNotJoined;
  }
  std::memcpy(record_[0].data(), slots.error.data(), kStepCount * sizeof(std::int64_t));

  StateTable states;
  std::size_t j = 1;
  for (; j < length && running > 0; ++j) {
    const std::int32_t z = u[j];
    const Int32x4 zz = Int32x4{} + z;
    Int64x2 overrun = {0, 0};
    for (std::size_t i = 0; i < running; i += kLanes) {
      // (vectors are copied in and out with memcpy; no function takes or returns one, which
      // would tie the code to a vector calling convention)
      Int32x4 v, x, y;
      std::memcpy(&v, &slots.v[i], sizeof v);
      std::memcpy(&x, &slots.x[i], sizeof x);
      std::memcpy(&y, &slots.y[i], sizeof y);
      // Magnitude 4 * |diff| / y limited to 7, bit by bit as in long division (a difference of
      // two steps or more sets all three bits). Masks are -1 (true) or 0.
      const Int32x4 diff = zz - v;
      const Int32x4 below = diff >> 31;
      const Int32x4 magnitude = (diff ^ below) - below;
      const Int32x4 bit2 = ~(y > magnitude);
      const Int32x4 rest1 = (magnitude - (y & bit2)) * 2;
      const Int32x4 bit1 = ~(y > rest1);
      const Int32x4 rest0 = (rest1 - (y & bit1)) * 2;
      const Int32x4 bit0 = ~(y > rest0);
      const Int32x4 d = (y >> 3) + (y & bit2) + ((y >> 1) & bit1) + ((y >> 2) & bit0);
      Int32x4 next_v = v + ((d ^ below) - below);
      next_v &= ~(next_v >> 31);                             // below 0: 0
      next_v = (next_v | ((65535 - next_v) >> 31)) & 65535;  // above 65535: 65535
      // Index: -1 for magnitudes 0..3, else 2 * (magnitude - 3); then the trial rule (one below
      // 0 wraps to the top index, above the top index stays at the top).
      const Int32x4 adjust = ((2 + (bit1 & 4) + (bit0 & 2)) & bit2) | ~bit2;
      Int32x4 next_x = x + adjust;
      const Int32x4 out_of_range = (next_x > static_cast<std::int32_t>(kTopIndex)) | (next_x >> 31);
      next_x = (next_x & ~out_of_range) | (static_cast<std::int32_t>(kTopIndex) & out_of_range);
      std::memcpy(&slots.v[i], &next_v, sizeof next_v);
      std::memcpy(&slots.x[i], &next_x, sizeof next_x);
      // |miss| <= 65535, so its square fits 32 unsigned bits; it is added in 64 bits.
      const Int32x4 miss = zz - next_v;
      const Uint32x4 square = reinterpret_cast<const Uint32x4&>(miss) * reinterpret_cast<const Uint32x4&>(miss);
      const Int64x2 low = {static_cast<std::int64_t>(square[0]), static_cast<std::int64_t>(square[1])};
      const Int64x2 high = {static_cast<std::int64_t>(square[2]), static_cast<std::int64_t>(square[3])};
      Int64x2 error_low, error_high, room_low, room_high;
      std::memcpy(&error_low, &slots.error[i], sizeof error_low);
      std::memcpy(&error_high, &slots.error[i + 2], sizeof error_high);
      std::memcpy(&room_low, &slots.room[i], sizeof room_low);
      std::memcpy(&room_high, &slots.room[i + 2], sizeof room_high);
      error_low += low;
      error_high += high;
      room_low -= low;
      room_high -= high;
      overrun |= room_low | room_high;
      std::memcpy(&slots.error[i], &error_low, sizeof error_low);
      std::memcpy(&slots.error[i + 2], &error_high, sizeof error_high);
      std::memcpy(&slots.room[i], &room_low, sizeof room_low);
      std::memcpy(&slots.room[i + 2], &room_high, sizeof room_high);
    }
    for (std::size_t i = 0; i < running; ++i) slots.y[i] = steps[static_cast<std::size_t>(slots.x[i])];
    std::memcpy(record_[j].data(), slots.error.data(), running * sizeof(std::int64_t));

    // A negative room in any lane, garbage lanes past the last slot included, sets the sign.
    if ((overrun[0] | overrun[1]) < 0) {
      for (std::size_t i = 0; i < running;) {
        if (slots.room[i] < 0) {
          last_[slots.start[i]] = static_cast<std::uint16_t>(j);
          remove_slot(i, j + 1);
        } else {
          ++i;
        }
      }
    }

    if (j % kJoinCheckInterval != 0) continue;
    states.Clear();
    for (std::size_t i = 0; i < running;) {
      const std::uint32_t key = (static_cast<std::uint32_t>(slots.v[i]) << 7) | static_cast<std::uint32_t>(slots.x[i]);
      const int other = states.FindOrAdd(key, static_cast<int>(i));
      if (other < 0) {
        ++i;
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
      // The room belongs to the least error among the trials a slot runs, whichever slot's
      // error it is measured against.
      slots.room[target] = std::max(slots.room[target], slots.room[i]);
      remove_slot(i, j + 1);
    }
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
  std::int16_t m = latest_move_[s];
  while (moves_[static_cast<std::size_t>(m)].from > k) m = moves_[static_cast<std::size_t>(m)].previous;
  error = static_cast<std::uint64_t>(record_[k][moves_[static_cast<std::size_t>(m)].slot] + offset);
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
  // Every trial overran within `length` (at most 21 samples here), mostly within a few: running
  // them again, eight side by side, is cheaper than searching the record.
  constexpr std::size_t kBatch = 8;
  const std::uint16_t* u = u_->data();
  const TrialTables& tables = *tables_;
  const std::int32_t v0 = StartPredictor(u[0]);
  const std::uint64_t e0 = Square(std::int32_t{u[0]} - v0);
  std::uint64_t least = std::numeric_limits<std::uint64_t>::max();
  std::uint16_t chosen = 0;
  for (std::size_t first = 0; first < kStepCount; first += kBatch) {
    const std::size_t count = std::min(kBatch, kStepCount - first);
    std::array<std::int32_t, kBatch> v;
    std::array<std::uint32_t, kBatch> x;
    std::array<std::uint64_t, kBatch> error;
    std::array<bool, kBatch> running;
    for (std::size_t k = 0; k < kBatch; ++k) {
      v[k] = v0;
      x[k] = static_cast<std::uint32_t>(std::min(first + k, std::size_t{kTopIndex}));
      error[k] = e0;
      running[k] = k < count && e0 <= limit;
    }
    for (std::size_t j = 1; j < length; ++j) {
      bool any = false;
      for (std::size_t k = 0; k < kBatch; ++k) {
        // Stopped trials step on but keep the error they stopped at.
        const std::int32_t z = u[j];
        v[k] = TrialStep(z, v[k], x[k], tables);
        const std::uint64_t next = error[k] + Square(z - v[k]);
        error[k] = running[k] ? next : error[k];
        running[k] = running[k] && next <= limit;
        any = any || running[k];
      }
      if (!any) break;
    }
    for (std::size_t k = 0; k < count; ++k) {
      if (error[k] < least) {
        least = error[k];
        chosen = static_cast<std::uint16_t>(first + k);
      }
    }
  }
  return chosen;
}

std::uint16_t BlockSearch::FinalIndexOfShortBlock(std::size_t length, std::uint16_t fallback) {
  // Short blocks only (at most 22 samples, so every error stays far below 2^38): the fallback's
  // complete error bounds the least one, and the side-by-side run settles the rest.
  const std::uint64_t bound = SingleTrial(fallback, length, kErrorCeiling).error;
  RunAllTrials(length, bound);
  std::uint16_t chosen = fallback;
  LeastRecorded(length, bound, chosen);
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
    const TrialTables& rows = *tables_;
    std::int32_t v = StartPredictor(u[0]);
    std::uint32_t x = x0;
    for (std::size_t j = 1; j < length; ++j) {
      const std::int32_t z = u[j];
      v = TrialStep(z, v, x, rows);
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
    x0 = FinalIndexOfShortBlock(length, x0);
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
