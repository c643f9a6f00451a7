#include "block_search.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "trial_step.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace velkin::adpcm4 {

namespace {

std::uint64_t Square(std::int32_t d) {
  return static_cast<std::uint64_t>(std::int64_t{d} * d);
}

// A mean squared error within 511^2 over `length` samples: the square root of error / length
// against 511, in exact integers.
std::uint64_t Budget(std::size_t length) {
  return length * kBudgetPerSample;
}

// A coded sample is bad when it misses by 256 or more within +-1024 of silence, and elsewhere
// when the miss is 30 % of its amplitude or more (100 * miss^2 >= 9 * s^2 is that ratio test
// without rounding).
bool IsBadSample(std::uint64_t miss_squared, std::uint16_t u) {
  const std::int64_t s = std::int64_t{u} - 32768;
  if (s > -1024 && s < 1024) return miss_squared >= 256 * 256;
  return 100 * miss_squared >= static_cast<std::uint64_t>(9 * s * s);
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

// The trial runs, once for eight lanes on the floor every build runs on (SSE2 on x86) and
// twice for sixteen: compiled for AVX2, and on 64-bit builds for AVX-512 in its 256-bit form,
// which adds twice the registers and a table lookup held in registers instead of the gathers
// (every sample's step otherwise begins by waiting for them). Each is called only when the
// processor has its instructions (the level the search was made with).
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

// The level a search runs at, lowered to what the processor runs and this build has a path for.
cpu::Level UsableLevel(cpu::Level wanted) {
  const cpu::Level level = cpu::Runnable(wanted);
  if (level == cpu::Level::kAvx512 && !VELKIN_HAS_AVX512_PATH) return cpu::Level::kAvx2;
  if (level == cpu::Level::kAvx2 && !VELKIN_HAS_AVX2_PATH) return cpu::Level::kSse2;
  return level;
}

}  // namespace

static_assert(TrialRecord::kStride % 16 == 0 && TrialRecord::kStride >= kStepCount);

BlockSearch::BlockSearch(cpu::Level level)
    : level_(UsableLevel(level)),
      lanes_(level_ >= cpu::Level::kAvx2 ? 16 : 8),
      run_samples_(&eight_lanes::RunSamples),
      tables_(&Trial()),
      column_of_slot_([this] {
        std::array<std::uint8_t, kSlotCapacity> columns{};
        for (std::size_t slot = 0; slot < kSlotCapacity; ++slot) {
          columns[slot] = static_cast<std::uint8_t>(ColumnOf(slot));
        }
        return columns;
      }()),
      start_(MakeStart()),
      states_(std::make_unique<StateTable>()) {
#if VELKIN_HAS_AVX2_PATH
  if (level_ == cpu::Level::kAvx2) run_samples_ = &sixteen_lanes::RunSamples;
#endif
#if VELKIN_HAS_AVX512_PATH
  if (level_ == cpu::Level::kAvx512) run_samples_ = &sixteen_lanes_avx512::RunSamples;
#endif
}

BlockSearch::~BlockSearch() = default;

BlockSearch::Start BlockSearch::MakeStart() const {
  Start start{};
  const StepTable& steps = Steps();
  for (std::size_t s = 0; s < kSlotCapacity; ++s) {
    const std::size_t index = std::min<std::size_t>(s, kTopIndex);
    start.x[s] = static_cast<std::uint16_t>(index);
    start.y[s] = steps[index];
    start.start[s] = static_cast<std::uint8_t>(index);
    start.used[Column(s)] = s < kStepCount;
  }
  for (std::uint8_t s = 0; s < kStepCount; ++s) start.column[s] = static_cast<std::uint8_t>(Column(s));
  return start;
}

std::size_t BlockSearch::ColumnOf(std::size_t slot) const {
  const std::size_t in_group = slot & (lanes_ - 1);
  return (slot - in_group) + (in_group & 1) * (lanes_ / 2) + (in_group >> 1);
}

// ---- The five phases -------------------------------------------------------------------------

BlockChoice BlockSearch::Choose(BlockBuffer& u, std::size_t count, std::uint32_t remaining) {
  u_ = &u;
  const Found found = SearchLength(std::min(count, kMaxBlockLength));
  std::size_t length = Refine(found);
  length = MakeOdd(length);
  const std::uint16_t index = SearchFinalIndex(found, length);
  hint_ = index;
  return {TakeInSegmentEnd(length, remaining), index};
}

// Length search: the longest length, shortened by six while no index keeps the error within the
// budget and the length is above 21; the lowest index of least error within the budget, or when
// none is within it even at the last length, the index whose error overran the budget at the
// lowest value. Within one pass only the trials within the budget compete, whatever order they
// run in, so one side-by-side run of all trials, each dropped at the error of a good guess,
// settles the first pass; as a trial's running error does not depend on the length tried, the
// shorter passes are read from the same record. After a block whose first pass found no trial
// within the budget the guess is left out: loud passages come in runs, and there the guess
// almost always runs far only to pass the budget too.
BlockSearch::Found BlockSearch::SearchLength(std::size_t longest) {
  std::uint64_t cap = Budget(longest);
  if (guess_) {
    const Outcome guess = SingleTrial(hint_, longest, cap);
    if (guess.completed) cap = guess.error;
  }
  RunTrialsSideBySide(longest, cap);
  Found found{longest, 0, false};
  for (;;) {
    found.within_budget = LeastRecorded(found.length, Budget(found.length), found.index);
    if (found.within_budget || found.length <= kShortestShrunkLength) break;
    found.length -= kLengthStep;
  }
  if (!found.within_budget) found.index = LeastRecordedOverrun(found.length, Budget(found.length));
  guess_ = found.within_budget && found.length == longest;
  return found;
}

// Refinement: a block longer than 15 samples ends before its first bad sample from index 15 on,
// and then at an odd length.
std::size_t BlockSearch::Refine(const Found& found) const {
  if (found.length <= kShortestRefined) return found.length;
  const std::size_t length = FirstBadSample(found);
  return length % 2 == 0 ? length - 1 : length;
}

std::size_t BlockSearch::FirstBadSample(const Found& found) const {
  const BlockBuffer& u = *u_;
  if (found.within_budget) {
    // The chosen trial never passed its cap, so its squared misses are the exact steps of its
    // recorded error.
    std::uint64_t before = 0;
    record_.ErrorAfter(found.index, kShortestRefined - 1, before);
    for (std::size_t j = kShortestRefined; j < found.length; ++j) {
      std::uint64_t error = 0;
      record_.ErrorAfter(found.index, j, error);
      if (IsBadSample(error - before, u[j])) return j;
      before = error;
    }
    return found.length;
  }
  // Past its cap (only short blocks get here): coded again.
  const TrialTables& tables = *tables_;
  std::int32_t v = StartPredictor(u[0]);
  std::uint32_t x = found.index;
  for (std::size_t j = 1; j < found.length; ++j) {
    const std::int32_t z = u[j];
    v = TrialStep(z, v, x, tables);
    if (j >= kShortestRefined && IsBadSample(Square(z - v), u[j])) return j;
  }
  return found.length;
}

// Odd length: a block of one sample becomes three copies of it, an even one takes a copy of its
// last sample (only short blocks get here with an even length). Either changes the block, so the
// record no longer describes it.
std::size_t BlockSearch::MakeOdd(std::size_t length) {
  BlockBuffer& u = *u_;
  if (length == 1) {
    u[1] = u[0];
    u[2] = u[0];
    record_.Invalidate();
    return 3;
  }
  if (length % 2 == 0) {
    u[length] = u[length - 1];
    record_.Invalidate();
    return length + 1;
  }
  return length;
}

// Final index search: the index of least error at the final length, lowest on ties, over every
// index without a budget. On the searched length itself the length search's choice stands. On a
// shorter one the least error is at most the searched one, so every trial dropped earlier is out
// of the running and the record settles it. A block whose length search found no index within
// the budget, or that changed, is short and searched on its own.
std::uint16_t BlockSearch::SearchFinalIndex(const Found& found, std::size_t length) {
  if (!found.within_budget || !record_.valid()) return FinalIndexOfShortBlock(length, found.index);
  std::uint16_t chosen = found.index;
  if (length != found.length) LeastRecorded(length, kErrorCeiling - 1, chosen);
  return chosen;
}

std::uint16_t BlockSearch::FinalIndexOfShortBlock(std::size_t length, std::uint16_t fallback) {
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
  // A record of these samples made with a cap at or above the bound holds every trial that
  // stays within it; otherwise the trials are run again.
  if (!record_.Covers(length, bound)) RunTrialsSideBySide(length, bound);
  std::uint16_t chosen = fallback;
  LeastRecorded(length, bound, chosen);
  return chosen;
}

// Segment-end take-in: a short block near the segment end takes in the rest of the segment, cut to
// an odd length. Taking in a tail that would leave a block of 1 sample is left out: its length byte
// would equal the escape byte and the stream could not be read back.
std::size_t BlockSearch::TakeInSegmentEnd(std::size_t length, std::uint32_t remaining) {
  if (length + kTailTakeIn <= remaining || length >= kLongestTakeIn) return length;
  std::size_t tail = remaining;
  if (tail % 2 == 0) --tail;
  return tail >= 3 ? tail : length;
}

// ---- Trials ----------------------------------------------------------------------------------

BlockSearch::Outcome BlockSearch::SingleTrial(std::uint16_t start, std::size_t length, std::uint64_t limit) const {
  const std::uint16_t* u = u_->data();
  const TrialTables& tables = *tables_;
  std::int32_t v = StartPredictor(u[0]);
  std::uint32_t x = start;
  std::uint64_t error = Square(std::int32_t{u[0]} - v);
  for (std::size_t j = 1; j < length; ++j) {
    const std::int32_t z = u[j];
    v = TrialStep(z, v, x, tables);
    error += Square(z - v);
    if (error > limit) return {error, false};
  }
  return {error, error <= limit};
}

bool BlockSearch::RunSlots(std::size_t first, std::size_t end, std::size_t running) {
  return run_samples_(slots_.v.data(), slots_.x.data(), slots_.y.data(), slots_.error.data(), slots_.cap.data(),
                      u_->data(), first, end, running, record_.Row(0), *tables_);
}

void BlockSearch::RemoveSlot(std::size_t i, std::size_t& running) {
  // The last running slot moves into slot i (its record moves with it from the next stretch on);
  // the lane it leaves steps on unused, with an error that never reaches its cap.
  const std::size_t last = --running;
  const std::size_t from = Column(last);
  const std::int32_t last_error = slots_.error[from];
  const std::int32_t last_cap = slots_.cap[from];
  slots_.error[from] = 0;
  slots_.cap[from] = kUnusedCap;
  if (i == last) return;
  slots_.v[i] = slots_.v[last];
  slots_.x[i] = slots_.x[last];
  slots_.y[i] = slots_.y[last];
  slots_.error[Column(i)] = last_error;
  slots_.cap[Column(i)] = last_cap;
  slots_.start[i] = slots_.start[last];
  record_.Move(slots_.start[i], Column(i));
}

void BlockSearch::DropOverrun(std::size_t first, std::size_t& running) {
  // Taken out from the highest slot down, so that the slot moved into a freed one is always one
  // that stays. A slot's record holds its errors up to the sample where it passed its cap.
  for (std::size_t i = running; i-- > 0;) {
    const std::size_t column = Column(i);
    const std::int32_t cap = slots_.cap[column];
    if (slots_.error[column] <= cap) continue;
    record_.Ended(slots_.start[i], record_.FirstAbove(column, first, cap));
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
    const auto target = static_cast<std::size_t>(other);
    const std::size_t ci = Column(i);
    const std::size_t ct = Column(target);
    record_.Joined(slots_.start[i], slots_.start[target], slots_.error[ci] - slots_.error[ct], j);
    // The cap follows the least error among the trials a slot runs, measured against this
    // slot's error.
    slots_.cap[ct] = slots_.error[ct] + std::max(slots_.cap[ct] - slots_.error[ct], slots_.cap[ci] - slots_.error[ci]);
    RemoveSlot(i, running);
  }
}

void BlockSearch::RunTrialsSideBySide(std::size_t length, std::uint64_t limit) {
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
  record_.Begin(length, limit, start.column);
  static_assert(sizeof slots_.error == TrialRecord::kStride * sizeof(std::int32_t));
  std::memcpy(record_.Row(0), slots_.error.data(), sizeof slots_.error);

  // Stretches of samples: step every running slot and record the errors, then drop the slots
  // past their caps, and at the join points (NextJoin) join the ones that met. A stretch in
  // which a whole vector's worth of slots went is followed by a shorter one (at the start of a
  // block, and on loud blocks, most trials go within a few samples), else by a longer one.
  constexpr std::size_t kLongestStretch = 16;
  std::size_t running = kStepCount;
  std::size_t j = 1;
  std::size_t stretch = 1;
  while (j < length && running > 0) {
    const std::size_t join_at = NextJoin(j);
    const std::size_t end = std::min({length, join_at + 1, j + stretch});
    record_.BeginStretch(j, end);
    const std::size_t before = running;
    if (RunSlots(j, end, running)) DropOverrun(j, running);
    if (end - 1 == join_at) JoinMet(end - 1, running);
    stretch =
        before - running >= lanes_ ? std::max<std::size_t>(stretch / 2, 1) : std::min(stretch * 2, kLongestStretch);
    j = end;
  }
  for (std::size_t i = 0; i < running; ++i) record_.Ended(slots_.start[i], j - 1);
}

// ---- Reading the record ----------------------------------------------------------------------

bool BlockSearch::LeastRecorded(std::size_t length, std::uint64_t limit, std::uint16_t& chosen) const {
  if (length - 1 > record_.longest_known()) return false;
  bool found = false;
  std::uint64_t best = 0;
  for (std::uint16_t s = 0; s < kStepCount; ++s) {
    if (record_.DroppedBefore(s, length - 1)) continue;
    std::uint64_t error;
    if (record_.ErrorAfter(s, length - 1, error) && error <= limit && (!found || error < best)) {
      found = true;
      best = error;
      chosen = s;
    }
  }
  return found;
}

std::uint16_t BlockSearch::LeastRecordedOverrun(std::size_t length, std::uint64_t limit) const {
  // Every trial overran `limit` within `length`; the record, made with a larger cap, holds each
  // one's errors up to the sample where it did. A step of the largest counted size may stand for
  // a larger miss: that trial is run again for its exact error. (A trial not found overrunning
  // would have stayed within the budget; then the run again below decides.)
  std::uint64_t least = std::numeric_limits<std::uint64_t>::max();
  std::uint16_t chosen = 0;
  for (std::uint16_t s = 0; s < kStepCount; ++s) {
    std::size_t k = 1;
    std::uint64_t before = 0;
    std::uint64_t error = 0;
    record_.ErrorAfter(s, 0, before);
    for (; k < length && record_.ErrorAfter(s, k, error) && error <= limit; ++k) before = error;
    if (k == length || error <= limit) return LeastOverrun(length, limit);
    if (error - before == TrialRecord::kLargestStep) error = SingleTrial(s, length, limit).error;
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

}  // namespace velkin::adpcm4
