// Choice of length and starting step index for each ADPCM block.
//
// Every block is searched for the length (at most 255 samples) and the starting step index that
// keep the coding error small, in five phases: a length search by mean squared error under a
// budget, a refinement that ends the block before the first badly coded sample, an odd length, a
// final search of the starting index and the take-in of a short segment tail. The chosen values,
// and so every output byte, are defined by the plain search over all 121 indexes; this class
// reaches the same choice with far fewer trial samples.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "adpcm_codec.h"
#include "cpu/vector_level.h"
#include "trial_record.h"
#include "trial_step.h"

namespace velkin::adpcm4 {

class StateTable;

// One read of the input: up to 265 samples, offset binary; positions past the samples read hold
// 32768 (silence).
inline constexpr std::size_t kBlockBufferSize = 265;
using BlockBuffer = std::array<std::uint16_t, kBlockBufferSize>;

struct BlockChoice {
  std::size_t length = 0;
  std::uint16_t start_index = 0;
  bool operator==(const BlockChoice&) const = default;
};

// Parameters of the search, shared with the reference search in the tests.
inline constexpr std::uint64_t kErrorCeiling = std::uint64_t{1} << 38;  // "no trial yet"
inline constexpr std::uint64_t kBudgetPerSample = 511u * 511u;          // RMS error 511
inline constexpr std::size_t kShortestShrunkLength = 21;
inline constexpr std::size_t kLengthStep = 6;
inline constexpr std::size_t kShortestRefined = 15;
inline constexpr std::size_t kTailTakeIn = 7;
inline constexpr std::size_t kLongestTakeIn = 240;

class BlockSearch {
 public:
  // `level` sets how the side-by-side trials are stepped: eight 16-bit lanes below AVX2 (SSE2 on
  // x86, the floor every build runs on), sixteen with AVX2, and with AVX-512 sixteen in its
  // 256-bit form on 64-bit builds (twice the registers, and the step table held in registers
  // instead of gathered). Every level chooses the same blocks. (Thirty-two lanes were measured
  // slower: the running trials, about 35 on speech, fill whole vectors worse.)
  explicit BlockSearch(cpu::Level level = cpu::DefaultLevel());
  ~BlockSearch();
  BlockSearch(const BlockSearch&) = delete;
  BlockSearch& operator=(const BlockSearch&) = delete;

  // The level the trials run at: the one asked for, lowered to what the processor and this
  // build run.
  cpu::Level level() const { return level_; }

  // Chooses the block that starts at u[0]. `count` is the length the silence detection left
  // (at least 2); `remaining` the number of samples from the block start to the end of the
  // segment. May overwrite up to two buffer entries with copies of their predecessors when the
  // block has to be lengthened to an odd length.
  BlockChoice Choose(BlockBuffer& u, std::size_t count, std::uint32_t remaining);

  // The errors of the last side-by-side run, for the tests that check the vector code against
  // the scalar step.
  const TrialRecord& record() const { return record_; }

  // Every cap the side-by-side run takes stays below this, so that its 32-bit sums stay exact.
  static constexpr std::uint64_t kSideBySideLimit = std::uint64_t{1} << 29;

 private:
  // What the length search settled on.
  struct Found {
    std::size_t length;
    std::uint16_t index;
    bool within_budget;  // false: no index stayed within the budget, even at the shortest length
  };

  // The five phases, in the order Choose runs them.
  Found SearchLength(std::size_t longest);
  std::size_t Refine(const Found& found) const;
  std::size_t MakeOdd(std::size_t length);
  std::uint16_t SearchFinalIndex(const Found& found, std::size_t length);
  static std::size_t TakeInSegmentEnd(std::size_t length, std::uint32_t remaining);

  // The refinement's cut: the first bad sample from index 15 on, or found.length.
  std::size_t FirstBadSample(const Found& found) const;
  // The final index search on a short block where the record may not hold the answer.
  std::uint16_t FinalIndexOfShortBlock(std::size_t length, std::uint16_t fallback);

  // Trial error of one starting index, run on its own and abandoned past `limit`.
  struct Outcome {
    std::uint64_t error;
    bool completed;
  };
  Outcome SingleTrial(std::uint16_t start, std::size_t length, std::uint64_t limit) const;

  // All 121 trials side by side over `length` samples into the record, each dropped once its
  // error exceeds `limit` (below kSideBySideLimit).
  void RunTrialsSideBySide(std::size_t length, std::uint64_t limit);
  // Index of least error after sample length - 1 among the recorded trials, lowest on ties;
  // false when no recorded trial stays within `limit`.
  bool LeastRecorded(std::size_t length, std::uint64_t limit, std::uint16_t& chosen) const;
  // Index whose error first overran `limit` at the lowest value, lowest on ties.
  std::uint16_t LeastOverrun(std::size_t length, std::uint64_t limit) const;
  // The same read from the record of a run to a larger cap.
  std::uint16_t LeastRecordedOverrun(std::size_t length, std::uint64_t limit) const;

  // The trials still running, one slot each, packed at the front. A slot runs one trial for
  // itself and for every trial that joined it (trials that reach the same predictor and index
  // after the same sample go on as one: their errors differ by a constant from then on); it is
  // dropped once its error passes `cap`, the error at which the least of those trials passes the
  // limit. Errors are 32-bit: every limit the side-by-side run takes stays below
  // kSideBySideLimit and a squared miss is counted at 2^30 at most, so no sum wraps and every
  // sum within the limit is exact. The vector code keeps the even lanes of every group of lanes
  // before the odd ones, so `error` and `cap` of a slot are kept at Column(slot), the slot's
  // column in the record too.
  static constexpr std::size_t kSlotCapacity = TrialRecord::kStride;
  struct Slots {
    alignas(64) std::array<std::uint16_t, kSlotCapacity> v;
    alignas(64) std::array<std::uint16_t, kSlotCapacity> x;
    alignas(64) std::array<std::uint16_t, kSlotCapacity> y;  // step of x
    alignas(64) std::array<std::int32_t, kSlotCapacity> error;
    alignas(64) std::array<std::int32_t, kSlotCapacity> cap;
    alignas(64) std::array<std::uint8_t, kSlotCapacity> start;
  };
  std::size_t Column(std::size_t slot) const { return column_of_slot_[slot]; }
  std::size_t ColumnOf(std::size_t slot) const;
  // Samples first .. end - 1 for every running slot; true when some slot passed its cap.
  bool RunSlots(std::size_t first, std::size_t end, std::size_t running);
  // Drops the slots that passed their caps in the stretch of samples from `first` on.
  void DropOverrun(std::size_t first, std::size_t& running);
  void JoinMet(std::size_t j, std::size_t& running);
  void RemoveSlot(std::size_t i, std::size_t& running);

  // What every side-by-side run starts from, apart from the predictor and the errors.
  struct Start {
    std::array<std::uint16_t, kSlotCapacity> x;
    std::array<std::uint16_t, kSlotCapacity> y;
    std::array<std::uint8_t, kSlotCapacity> start;
    std::array<bool, kSlotCapacity> used;  // by column: a lane that runs a trial
    TrialRecord::Columns column;           // of each trial
  };
  Start MakeStart() const;

  using RunSamplesFunction = bool (*)(std::uint16_t*, std::uint16_t*, std::uint16_t*, std::int32_t*,
                                      const std::int32_t*, const std::uint16_t*, std::size_t, std::size_t, std::size_t,
                                      std::int32_t*, const TrialTables&);

  cpu::Level level_;
  std::size_t lanes_;
  RunSamplesFunction run_samples_;
  const TrialTables* tables_;
  std::array<std::uint8_t, kSlotCapacity> column_of_slot_;
  Slots slots_{};
  Start start_;
  TrialRecord record_;
  std::unique_ptr<StateTable> states_;
  BlockBuffer* u_ = nullptr;
  std::uint16_t hint_ = 60;
  bool guess_ = true;  // whether the next block runs the guess at hint_ first
};

}  // namespace velkin::adpcm4
