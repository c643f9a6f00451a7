#include "block_search.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>

#include "trial_step.h"

namespace velkin::adpcm4 {

namespace {

constexpr std::uint16_t kNotJoined = std::numeric_limits<std::uint16_t>::max();

// How often the side-by-side trials are checked for ones that have come together.
constexpr std::size_t kJoinCheckInterval = 8;

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

// Eight trials are stepped at once in 16-bit lanes with the compiler's generic vector types (SSE2
// on x86, plain scalar code where there is no vector unit); the step table is read lane by lane.
// Only operations every vector unit has are used: add, subtract, shift, and, or, xor, compare and
// a 32-bit multiply.
constexpr std::size_t kLanes = 8;
using Uint16x8 = std::uint16_t __attribute__((vector_size(kLanes * sizeof(std::uint16_t))));
using Int16x8 = std::int16_t __attribute__((vector_size(kLanes * sizeof(std::int16_t))));
using Uint32x4 = std::uint32_t __attribute__((vector_size(4 * sizeof(std::uint32_t))));
using Uint64x2 = std::uint64_t __attribute__((vector_size(2 * sizeof(std::uint64_t))));
using Int64x2 = std::int64_t __attribute__((vector_size(2 * sizeof(std::int64_t))));

// The squared misses of eight lanes come out as 64-bit pairs of lanes (0, 4), (2, 6), (1, 5),
// (3, 7); the running errors of every group of eight slots are kept in that order. (The mapping
// swaps bits 0 and 2 of the slot, so it is its own inverse.)
constexpr std::size_t ErrorPosition(std::size_t slot) {
  return (slot & ~std::size_t{7}) | ((slot & 1) << 2) | (slot & 2) | ((slot >> 2) & 1);
}

}  // namespace

static_assert(BlockSearch::kSlotCapacity % kLanes == 0 && BlockSearch::kSlotCapacity >= kStepCount);

void BlockSearch::RunAllTrials(std::size_t length, std::uint64_t limit) {
  const std::uint16_t* u = u_->data();
  const StepTable& steps = Steps();

  // The trials still running, one slot each, kept packed at the front (the lanes past the last
  // slot are stepped too and ignored). A slot runs one trial for itself and for every trial that
  // joined it; `room` is how far its error may still grow before the least of them exceeds the
  // limit. `error` and `room` are kept at ErrorPosition(slot).
  struct Slots {
    alignas(64) std::array<std::uint16_t, kSlotCapacity> v;
    alignas(64) std::array<std::uint16_t, kSlotCapacity> x;
    alignas(64) std::array<std::uint16_t, kSlotCapacity> y;  // step of x
    alignas(64) std::array<std::int64_t, kSlotCapacity> error;
    alignas(64) std::array<std::int64_t, kSlotCapacity> room;
    alignas(64) std::array<std::uint8_t, kSlotCapacity> start;
  } slots;

  moves_used_ = 0;
  auto place = [this](std::uint8_t s, std::size_t from, std::size_t slot) {
    moves_[moves_used_] = {static_cast<std::uint16_t>(from), static_cast<std::uint8_t>(slot), latest_move_[s]};
    latest_move_[s] = static_cast<std::int16_t>(moves_used_++);
  };
  // Lanes without a trial get room they never use up, so that they never call for a drop pass.
  constexpr std::int64_t kUnusedRoom = std::int64_t{1} << 62;
  // Empties slot `i` by moving the last running slot into it (its record moves with it from the
  // next sample on).
  std::size_t running = kStepCount;
  auto remove_slot = [&](std::size_t i, std::size_t next_sample) {
    const std::size_t last = --running;
    const std::int64_t last_room = slots.room[ErrorPosition(last)];
    slots.room[ErrorPosition(last)] = kUnusedRoom;
    if (i == last) return;
    slots.v[i] = slots.v[last];
    slots.x[i] = slots.x[last];
    slots.y[i] = slots.y[last];
    slots.error[ErrorPosition(i)] = slots.error[ErrorPosition(last)];
    slots.room[ErrorPosition(i)] = last_room;
    slots.start[i] = slots.start[last];
    place(slots.start[i], next_sample, i);
  };

  const std::uint16_t v0 = StartPredictor(u[0]);
  const auto e0 = static_cast<std::int64_t>(Square(std::int32_t{u[0]} - v0));
  for (std::size_t s = 0; s < kSlotCapacity; ++s) {
    const std::size_t index = std::min<std::size_t>(s, kTopIndex);
    slots.v[s] = v0;
    slots.x[s] = static_cast<std::uint16_t>(index);
    slots.y[s] = steps[index];
    slots.error[ErrorPosition(s)] = e0;
    slots.room[ErrorPosition(s)] = s < kStepCount ? static_cast<std::int64_t>(limit) - e0 : kUnusedRoom;
    slots.start[s] = static_cast<std::uint8_t>(index);
  }
  for (std::uint8_t s = 0; s < kStepCount; ++s) {
    latest_move_[s] = -1;
    place(s, 0, s);
    last_[s] = 0;
    joined_at_[s] = kNotJoined;
  }
  std::memcpy(record_[0].data(), slots.error.data(), sizeof slots.error);

  StateTable states;
  std::size_t j = 1;
  for (; j < length && running > 0; ++j) {
    const auto z = static_cast<std::uint16_t>(u[j]);
    const Uint16x8 zz = Uint16x8{} + z;
    Int64x2 overrun = {0, 0};
    for (std::size_t i = 0; i < running; i += kLanes) {
      // (vectors are copied in and out with memcpy; no function takes or returns one, which
      // would tie the code to a vector calling convention)
      Uint16x8 v, x, y;
      std::memcpy(&v, &slots.v[i], sizeof v);
      std::memcpy(&x, &slots.x[i], sizeof x);
      std::memcpy(&y, &slots.y[i], sizeof y);
      // |z - v| and the magnitude 4 * |z - v| / y limited to 7, bit by bit as in long division
      // (2r >= y is r >= ceil(y / 2); a difference of two steps or more sets all three bits).
      // Masks are all ones (true) or 0.
      const auto below = reinterpret_cast<Uint16x8>(zz < v);
      const Uint16x8 magnitude = ((zz - v) ^ below) - below;
      const Uint16x8 half = (y + 1) >> 1;
      const auto twice_or_more = reinterpret_cast<Uint16x8>(magnitude >= y + y);
      const auto bit2 = reinterpret_cast<Uint16x8>(magnitude >= y);
      const Uint16x8 rest1 = magnitude - (y & bit2);
      const auto bit1 = reinterpret_cast<Uint16x8>(rest1 >= half);
      const Uint16x8 rest0 = rest1 + rest1 - (y & bit1);
      const Uint16x8 bit0 = reinterpret_cast<Uint16x8>(rest0 >= half) | twice_or_more;
      const Uint16x8 d = (y >> 3) + (y & bit2) + ((y >> 1) & bit1) + ((y >> 2) & bit0);
      // Down to 0 at most, up to 65535 at most.
      const Uint16x8 down = (v - d) & reinterpret_cast<Uint16x8>(v > d);
      Uint16x8 up = v + d;
      up |= reinterpret_cast<Uint16x8>(up < v);
      const Uint16x8 next_v = (down & below) | (up & ~below);
      // Index: -1 for magnitudes 0..3, else 2 * (magnitude - 3); then the trial rule (one below
      // 0 wraps to the top index, above the top index stays at the top).
      const Uint16x8 adjust = ((2 + (bit1 & 4) + (bit0 & 2)) & bit2) | ~bit2;
      auto next_x = reinterpret_cast<Int16x8>(x + adjust);
      const auto above = next_x > static_cast<std::int16_t>(kTopIndex);
      next_x = (next_x & ~above) | (static_cast<std::int16_t>(kTopIndex) & above);
      next_x += (next_x >> 15) & static_cast<std::int16_t>(kTopIndex + 1);
      std::memcpy(&slots.v[i], &next_v, sizeof next_v);
      std::memcpy(&slots.x[i], &next_x, sizeof next_x);
      // The squared miss of each lane, added in 64 bits.
      const auto miss_below = reinterpret_cast<Uint16x8>(zz < next_v);
      const Uint16x8 miss = ((zz - next_v) ^ miss_below) - miss_below;
      const Uint32x4 even = reinterpret_cast<Uint32x4>(miss) & 0xFFFF;
      const Uint32x4 odd = reinterpret_cast<Uint32x4>(miss) >> 16;
      const Uint32x4 even_square = even * even;
      const Uint32x4 odd_square = odd * odd;
      const std::array<Int64x2, 4> squares = {
          reinterpret_cast<Int64x2>(reinterpret_cast<Uint64x2>(even_square) & 0xFFFFFFFF),
          reinterpret_cast<Int64x2>(reinterpret_cast<Uint64x2>(even_square) >> 32),
          reinterpret_cast<Int64x2>(reinterpret_cast<Uint64x2>(odd_square) & 0xFFFFFFFF),
          reinterpret_cast<Int64x2>(reinterpret_cast<Uint64x2>(odd_square) >> 32)};
      for (std::size_t q = 0; q < 4; ++q) {
        Int64x2 error, room;
        std::memcpy(&error, &slots.error[i + 2 * q], sizeof error);
        std::memcpy(&room, &slots.room[i + 2 * q], sizeof room);
        error += squares[q];
        room -= squares[q];
        overrun |= room;
        std::memcpy(&slots.error[i + 2 * q], &error, sizeof error);
        std::memcpy(&slots.room[i + 2 * q], &room, sizeof room);
      }
    }
    for (std::size_t i = 0; i < running; ++i) slots.y[i] = steps[slots.x[i]];
    std::memcpy(record_[j].data(), slots.error.data(), (running + kLanes - 1) / kLanes * kLanes * sizeof(std::int64_t));

    // A negative room in any lane sets the sign. The trials that overran are taken out from the
    // highest slot down, so that the slot moved into a freed one is always one that stays.
    if ((overrun[0] | overrun[1]) < 0) {
      std::array<std::uint8_t, kSlotCapacity> overran;
      std::size_t count = 0;
      for (std::size_t p = 0; p < running; ++p) {
        if (slots.room[p] < 0) overran[count++] = static_cast<std::uint8_t>(ErrorPosition(p));
      }
      for (std::size_t p = running; p % kLanes != 0; ++p) {
        if (slots.room[p] < 0) overran[count++] = static_cast<std::uint8_t>(ErrorPosition(p));
      }
      std::sort(overran.begin(), overran.begin() + static_cast<std::ptrdiff_t>(count), std::greater<>());
      for (std::size_t k = 0; k < count; ++k) {
        last_[slots.start[overran[k]]] = static_cast<std::uint16_t>(j);
        remove_slot(overran[k], j + 1);
      }
    }

    if (j % kJoinCheckInterval != 0) continue;
    states.Clear();
    for (std::size_t i = 0; i < running;) {
      const std::uint32_t key = (std::uint32_t{slots.v[i]} << 7) | slots.x[i];
      const int other = states.FindOrAdd(key, static_cast<int>(i));
      if (other < 0) {
        ++i;
        continue;
      }
      // Same state as the trial in slot `other`: from the next sample on this one's error is
      // that trial's plus the present difference.
      const std::uint8_t s = slots.start[i];
      const auto target = static_cast<std::size_t>(other);
      const std::int64_t offset = slots.error[ErrorPosition(i)] - slots.error[ErrorPosition(target)];
      alias_[s] = slots.start[target];
      alias_offset_[s] = offset;
      joined_at_[s] = static_cast<std::uint16_t>(j + 1);
      last_[s] = static_cast<std::uint16_t>(j);
      // The room belongs to the least error among the trials a slot runs, whichever slot's
      // error it is measured against.
      slots.room[ErrorPosition(target)] = std::max(slots.room[ErrorPosition(target)], slots.room[ErrorPosition(i)]);
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
  error = static_cast<std::uint64_t>(record_[k][ErrorPosition(moves_[static_cast<std::size_t>(m)].slot)] + offset);
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
