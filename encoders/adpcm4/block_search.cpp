#include "block_search.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "trial_step.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace velkin::adpcm4 {

namespace {

constexpr std::uint16_t kNotJoined = std::numeric_limits<std::uint16_t>::max();

std::uint64_t Square(std::int32_t d) {
  return static_cast<std::uint64_t>(std::int64_t{d} * d);
}

}  // namespace

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

// The trial runs, once for eight lanes on the floor every build runs on (SSE2 on x86) and
// twice for sixteen: compiled for AVX2, and on 64-bit builds for AVX-512 in its 256-bit form,
// which adds twice the registers and a table lookup held in registers instead of the gathers
// (every sample's step otherwise begins by waiting for them). Each is called only when the
// processor has its instructions (DefaultVectorPath).
#if defined(__x86_64__) || defined(__i386__)
#define VELKIN_HAS_AVX2_PATH 1
#else
#define VELKIN_HAS_AVX2_PATH 0
#endif
#if defined(__x86_64__)
#define VELKIN_HAS_AVX512_PATH 1
#else
#define VELKIN_HAS_AVX512_PATH 0
#endif

namespace eight_lanes {
namespace {
#define VELKIN_TRIAL_LANES 8
#define VELKIN_TRIAL_TARGET
#define VELKIN_TRIAL_AVX2 0
#define VELKIN_TRIAL_AVX512 0
#include "trial_lanes.inc"
#undef VELKIN_TRIAL_AVX512
#undef VELKIN_TRIAL_AVX2
#undef VELKIN_TRIAL_TARGET
#undef VELKIN_TRIAL_LANES
}  // namespace
}  // namespace eight_lanes

namespace sixteen_lanes {
namespace {
#define VELKIN_TRIAL_LANES 16
#if VELKIN_HAS_AVX2_PATH
#define VELKIN_TRIAL_TARGET __attribute__((target("avx2")))
#define VELKIN_TRIAL_AVX2 1
#else
#define VELKIN_TRIAL_TARGET
#define VELKIN_TRIAL_AVX2 0
#endif
#define VELKIN_TRIAL_AVX512 0
#include "trial_lanes.inc"
#undef VELKIN_TRIAL_AVX512
#undef VELKIN_TRIAL_AVX2
#undef VELKIN_TRIAL_TARGET
#undef VELKIN_TRIAL_LANES
}  // namespace
}  // namespace sixteen_lanes

#if VELKIN_HAS_AVX512_PATH
namespace sixteen_lanes_avx512 {
namespace {
#define VELKIN_TRIAL_LANES 16
#define VELKIN_TRIAL_TARGET __attribute__((target("avx2,avx512f,avx512bw,avx512vl")))
#define VELKIN_TRIAL_AVX2 1
#define VELKIN_TRIAL_AVX512 1
#include "trial_lanes.inc"
#undef VELKIN_TRIAL_AVX512
#undef VELKIN_TRIAL_AVX2
#undef VELKIN_TRIAL_TARGET
#undef VELKIN_TRIAL_LANES
}  // namespace
}  // namespace sixteen_lanes_avx512
#endif

namespace {

constexpr std::int32_t kUnusedCap = std::numeric_limits<std::int32_t>::max();

// Met trials are joined after sample 16, where most meetings have happened, and then after every
// 32nd: checking for meetings costs a hash of every running slot, and later ones are rare.
std::size_t NextJoin(std::size_t j) {
  constexpr std::size_t kFirstJoin = 16;
  constexpr std::size_t kJoinEvery = 32;
  return j <= kFirstJoin ? kFirstJoin : ((j - 1) / kJoinEvery + 1) * kJoinEvery;
}

}  // namespace

static_assert(BlockSearch::kSlotCapacity % 16 == 0 && BlockSearch::kSlotCapacity >= kStepCount);

const char* LaneCountText(VectorPath path) {
  switch (path) {
    case VectorPath::kEightLanes:
      return "8";
    case VectorPath::kSixteenLanes:
      return "16";
    case VectorPath::kSixteenLanesAvx512:
      return "16-avx512";
    case VectorPath::kAuto:
      break;
  }
  return "";
}

bool CanRun(VectorPath path) {
  switch (path) {
    case VectorPath::kAuto:
    case VectorPath::kEightLanes:
      return true;
    case VectorPath::kSixteenLanes:
#if defined(__x86_64__) || defined(__i386__)
      return __builtin_cpu_supports("avx2");

#else
      return true;  // plain generic vectors
#endif
    case VectorPath::kSixteenLanesAvx512:
#if VELKIN_HAS_AVX512_PATH
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") &&
             __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
#else
      return false;
#endif
  }
  return false;
}

VectorPath DefaultVectorPath() {
  static const VectorPath chosen = [] {
    const char* forced = std::getenv("VELKIN_VECTOR_PATH");
    for (const VectorPath path : {VectorPath::kEightLanes, VectorPath::kSixteenLanes}) {
      if (forced && std::strcmp(forced, LaneCountText(path)) == 0 && CanRun(path)) return path;
    }
    for (const VectorPath path : {VectorPath::kSixteenLanesAvx512, VectorPath::kSixteenLanes}) {
      if (CanRun(path)) return path;
    }
    return VectorPath::kEightLanes;
  }();
  return chosen;
}

BlockSearch::BlockSearch(VectorPath path)
    : path_(path == VectorPath::kAuto || !CanRun(path) ? DefaultVectorPath() : path),
      lanes_(path_ == VectorPath::kEightLanes ? 8 : 16),
      tables_(&Trial()),
      record_(kMaxBlockLength + 1),
      position_(kMaxBlockLength),
      error_position_([this] {
        std::array<std::uint8_t, kSlotCapacity> positions{};
        for (std::size_t slot = 0; slot < kSlotCapacity; ++slot) {
          positions[slot] = static_cast<std::uint8_t>(PositionOf(slot));
        }
        return positions;
      }()),
      states_(std::make_unique<StateTable>()),
      start_(MakeStart()) {}

BlockSearch::~BlockSearch() = default;

BlockSearch::Start BlockSearch::MakeStart() const {
  Start start{};
  const StepTable& steps = Steps();
  for (std::size_t s = 0; s < kSlotCapacity; ++s) {
    const std::size_t index = std::min<std::size_t>(s, kTopIndex);
    start.x[s] = static_cast<std::uint16_t>(index);
    start.y[s] = steps[index];
    start.start[s] = static_cast<std::uint8_t>(index);
    start.used[ErrorPosition(s)] = s < kStepCount;
  }
  for (std::uint8_t s = 0; s < kStepCount; ++s) {
    start.position[s] = static_cast<std::uint8_t>(ErrorPosition(s));
  }
  return start;
}

std::size_t BlockSearch::PositionOf(std::size_t slot) const {
  const std::size_t in_group = slot & (lanes_ - 1);
  return (slot - in_group) + (in_group & 1) * (lanes_ / 2) + (in_group >> 1);
}

bool BlockSearch::RunSlots(std::size_t first, std::size_t end, std::size_t running) {
  auto* run = &eight_lanes::RunSamples;
  if (path_ == VectorPath::kSixteenLanes) run = &sixteen_lanes::RunSamples;
#if VELKIN_HAS_AVX512_PATH
  if (path_ == VectorPath::kSixteenLanesAvx512) run = &sixteen_lanes_avx512::RunSamples;
#endif
  return run(slots_.v.data(), slots_.x.data(), slots_.y.data(), slots_.error.data(), slots_.cap.data(), u_->data(),
             first, end, running, record_[0].data(), *tables_);
}

void BlockSearch::RemoveSlot(std::size_t i, std::size_t& running) {
  // The last running slot moves into slot i (its record moves with it from the next run on);
  // the lane it leaves steps on unused, with an error that never reaches its cap.
  const std::size_t last = --running;
  const std::size_t from = ErrorPosition(last);
  const std::int32_t last_error = slots_.error[from];
  const std::int32_t last_cap = slots_.cap[from];
  slots_.error[from] = 0;
  slots_.cap[from] = kUnusedCap;
  if (i == last) return;
  slots_.v[i] = slots_.v[last];
  slots_.x[i] = slots_.x[last];
  slots_.y[i] = slots_.y[last];
  slots_.error[ErrorPosition(i)] = last_error;
  slots_.cap[ErrorPosition(i)] = last_cap;
  slots_.start[i] = slots_.start[last];
  position_now_[slots_.start[i]] = static_cast<std::uint8_t>(ErrorPosition(i));
}

void BlockSearch::DropOverrun(std::size_t first, std::size_t& running) {
  // Taken out from the highest slot down, so that the slot moved into a freed one is always one
  // that stays. A slot's record holds its errors up to the sample where it passed its cap.
  for (std::size_t i = running; i-- > 0;) {
    const std::size_t p = ErrorPosition(i);
    const std::int32_t cap = slots_.cap[p];
    if (slots_.error[p] <= cap) continue;
    std::size_t passed = first;
    while (record_[passed][p] <= cap) ++passed;
    last_[slots_.start[i]] = static_cast<std::uint16_t>(passed);
    longest_known_ = std::max(longest_known_, passed);
    RemoveSlot(i, running);
  }
}

void BlockSearch::JoinMet(std::size_t j, std::size_t& running) {
  StateTable& states = *states_;
  states.Clear();
  for (std::size_t i = 0; i < running;) {
    const std::uint32_t key = (std::uint32_t{slots_.v[i]} << 7) | slots_.x[i];
    const int other = states.FindOrAdd(key, static_cast<int>(i));
    if (other < 0) {
      ++i;
      continue;
    }
    // Same state as the trial in slot `other`: from the next sample on this one's error is
    // that trial's plus the present difference.
    const std::uint8_t s = slots_.start[i];
    const auto target = static_cast<std::size_t>(other);
    const std::size_t pi = ErrorPosition(i);
    const std::size_t pt = ErrorPosition(target);
    const std::int32_t offset = slots_.error[pi] - slots_.error[pt];
    alias_[s] = slots_.start[target];
    alias_offset_[s] = offset;
    joined_at_[s] = static_cast<std::uint16_t>(j + 1);
    last_[s] = static_cast<std::uint16_t>(j);
    // The cap follows the least error among the trials a slot runs, measured against this
    // slot's error.
    slots_.cap[pt] = slots_.error[pt] + std::max(slots_.cap[pt] - slots_.error[pt], slots_.cap[pi] - slots_.error[pi]);
    RemoveSlot(i, running);
  }
}

void BlockSearch::RunAllTrials(std::size_t length, std::uint64_t limit) {
  const std::uint16_t* u = u_->data();

  // Start: every index in its own slot, with the error of sample 0. The parts that do not depend
  // on the block are copied from a start made once.
  const std::uint16_t v0 = StartPredictor(u[0]);
  const auto e0 = static_cast<std::int32_t>(Square(std::int32_t{u[0]} - v0));
  const auto cap = static_cast<std::int32_t>(limit);
  const Start& start = start_;
  slots_.v.fill(v0);
  slots_.x = start.x;
  slots_.y = start.y;
  slots_.start = start.start;
  for (std::size_t p = 0; p < kSlotCapacity; ++p) {
    slots_.error[p] = start.used[p] ? e0 : 0;
    slots_.cap[p] = start.used[p] ? cap : kUnusedCap;
  }
  position_[0] = start.position;
  position_now_ = start.position;
  last_.fill(0);
  joined_at_.fill(kNotJoined);
  longest_known_ = 0;  // raised as trials are dropped, and to the end if any runs to it
  std::memcpy(record_[0].data(), slots_.error.data(), sizeof slots_.error);

  // Runs of samples: step every running slot and record the errors, then drop the slots past
  // their caps, and at the join points (NextJoin) join the ones that met. A run in which a
  // whole vector's worth of slots went is followed by a shorter one (at the start of a block,
  // and on loud blocks, most trials go within a few samples), else by a longer one.
  std::size_t running = kStepCount;
  std::size_t j = 1;
  std::size_t run_length = 1;
  run_of_sample_[0] = 0;
  for (std::size_t run = 0; j < length && running > 0; ++run) {
    const std::size_t join_at = NextJoin(j);
    const std::size_t end = std::min({length, join_at + 1, j + run_length});
    if (run > 0) position_[run] = position_now_;
    std::fill(run_of_sample_.begin() + static_cast<std::ptrdiff_t>(j),
              run_of_sample_.begin() + static_cast<std::ptrdiff_t>(end), static_cast<std::uint8_t>(run));
    const std::size_t before = running;
    if (RunSlots(j, end, running)) DropOverrun(j, running);
    if (end - 1 == join_at) JoinMet(end - 1, running);
    run_length =
        before - running >= lanes_ ? std::max<std::size_t>(run_length / 2, 1) : std::min(run_length * 2, kLongestRun);
    j = end;
  }
  for (std::size_t i = 0; i < running; ++i) last_[slots_.start[i]] = static_cast<std::uint16_t>(j - 1);
  if (running > 0) longest_known_ = j - 1;
}

bool BlockSearch::Lookup(std::uint16_t start, std::size_t k, std::uint64_t& error) const {
  std::int64_t offset = 0;
  std::uint16_t s = start;
  while (k >= joined_at_[s]) {
    offset += alias_offset_[s];
    s = alias_[s];
  }
  if (k > last_[s]) return false;
  error = static_cast<std::uint64_t>(std::int64_t{record_[k][position_[run_of_sample_[k]][s]]} + offset);
  return true;
}

bool BlockSearch::LeastRecorded(std::size_t length, std::uint64_t limit, std::uint16_t& chosen) const {
  if (length - 1 > longest_known_) return false;
  bool found = false;
  std::uint64_t best = 0;
  for (std::uint16_t s = 0; s < kStepCount; ++s) {
    if (length - 1 > last_[s] && length - 1 < joined_at_[s]) continue;  // most trials, dropped early
    std::uint64_t error;
    if (Lookup(s, length - 1, error) && error <= limit && (!found || error < best)) {
      found = true;
      best = error;
      chosen = s;
    }
  }
  return found;
}

std::uint16_t BlockSearch::LeastRecordedOverrun(std::size_t length, std::uint64_t limit) const {
  // Every trial overran `limit` within `length`; the record, made with a larger cap, holds each
  // one's errors up to the sample where it did. A squared miss recorded as 32767^2 may stand for
  // a larger one: that trial is run again for its exact error. (A trial not found overrunning
  // would have stayed within the budget; then the run again below decides.)
  constexpr std::uint64_t kCountedMissSquare = 32767u * 32767u;
  std::uint64_t least = std::numeric_limits<std::uint64_t>::max();
  std::uint16_t chosen = 0;
  for (std::uint16_t s = 0; s < kStepCount; ++s) {
    std::size_t k = 1;
    std::uint64_t before = 0;
    std::uint64_t error = 0;
    Lookup(s, 0, before);
    for (; k < length && Lookup(s, k, error) && error <= limit; ++k) before = error;
    if (k == length || error <= limit) return LeastOverrun(length, limit);
    if (error - before == kCountedMissSquare) error = SingleTrial(s, length, limit).error;
    if (error < least) {
      least = error;
      chosen = s;
    }
  }
  return chosen;
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

std::uint16_t BlockSearch::FinalIndexOfShortBlock(std::size_t length, std::uint16_t fallback,
                                                  std::int64_t recorded_cap) {
  // Short blocks only (at most 22 samples, so every error stays far below 2^38): the fallback's
  // complete error bounds the least one, and the side-by-side run settles the rest.
  const std::uint64_t bound = SingleTrial(fallback, length, kErrorCeiling).error;
  if (bound >= kSideBySideLimit) {
    // Too loud for the 32-bit side-by-side errors: one trial after the other, each abandoned
    // past the best so far, the fallback's from the start (a lower index with the same error
    // still wins).
    std::uint64_t best = bound;
    std::uint16_t chosen = fallback;
    for (std::uint16_t s = 0; s < kStepCount; ++s) {
      if (s == fallback) continue;
      const Outcome trial = SingleTrial(s, length, best);
      if (trial.completed && (trial.error < best || (trial.error == best && s < chosen))) {
        best = trial.error;
        chosen = s;
      }
    }
    return chosen;
  }
  // A record of the same samples made with a cap at or above the bound holds every trial that
  // stays within it; otherwise the trials are run again.
  if (static_cast<std::int64_t>(bound) > recorded_cap) RunAllTrials(length, bound);
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
  // After a block whose first pass found no trial within the budget the guess is left out: loud
  // passages come in runs, and there the guess almost always runs far only to pass the budget too.
  const std::uint64_t first_budget = length * kBudgetPerSample;
  std::uint64_t first_cap = first_budget;
  if (guess_) {
    const Outcome guess = SingleTrial(hint_, length, first_budget);
    if (guess.completed) first_cap = guess.error;
  }
  RunAllTrials(length, first_cap);
  const std::size_t first_length = length;
  bool within_budget;
  for (;;) {
    // A mean squared error within 511^2: the square root of best / length against 511, in
    // exact integers.
    const std::uint64_t budget = length * kBudgetPerSample;
    within_budget = LeastRecorded(length, budget, x0);
    if (within_budget || length <= kShortestShrunkLength) break;
    length -= kLengthStep;
  }
  if (!within_budget) x0 = LeastRecordedOverrun(length, length * kBudgetPerSample);
  const std::size_t searched_length = length;
  guess_ = within_budget && length == first_length;

  // Refinement: end the block before the first badly coded sample from index 15 on. A chosen
  // trial within the budget never passed its cap, so its squared misses are the steps of its
  // recorded error.
  if (length > kShortestRefined && within_budget) {
    std::uint64_t before = 0;
    Lookup(x0, kShortestRefined - 1, before);
    for (std::size_t j = kShortestRefined; j < length; ++j) {
      std::uint64_t error = 0;
      Lookup(x0, j, error);
      const std::uint64_t miss_squared = error - before;
      before = error;
      const std::int64_t s = std::int64_t{u[j]} - 32768;
      // Outside +-1024 a sample is bad when the miss is 30 % of its amplitude or more
      // (100 * miss^2 >= 9 * s^2 is that ratio test without rounding).
      const bool bad = (s > -1024 && s < 1024) ? miss_squared >= 256 * 256
                                               : 100 * miss_squared >= static_cast<std::uint64_t>(9 * s * s);
      if (bad) {
        length = j;
        break;
      }
    }
    if (length % 2 == 0) --length;
  } else if (length > kShortestRefined) {
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
    x0 = FinalIndexOfShortBlock(length, x0, buffer_changed ? -1 : static_cast<std::int64_t>(first_cap));
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
