// Choice of length and starting step index for each ADPCM block.
//
// Every block is searched for the length (at most 255 samples) and the starting step index that
// keep the coding error small: a length search by mean squared error under a budget, a
// refinement that ends the block before the first badly coded sample, an odd length, a final
// search of the starting index and the take-in of a short segment tail. The chosen values, and
// so every output byte, are defined by the plain search over all 121 indexes; this class reaches
// the same choice with far fewer trial samples.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "adpcm_codec.h"
#include "trial_step.h"

namespace velkin::adpcm4 {

class StateTable;

// One read of the input: up to 265 samples, offset binary; positions past the samples read hold
// 32768 (silence).
inline constexpr std::size_t kBlockBufferSize = 265;
using BlockBuffer = std::array<std::uint16_t, kBlockBufferSize>;

// How the side-by-side trials are stepped: eight 16-bit lanes (SSE2 on x86, the floor every
// build runs on) or sixteen (AVX2, or AVX-512 in its 256-bit form, 64-bit builds only). Every
// path chooses the same blocks. (Thirty-two lanes on AVX-512 were measured slower: the running
// trials, about 35 on speech, fill whole vectors worse.)
enum class VectorPath { kAuto, kEightLanes, kSixteenLanes, kSixteenLanesAvx512 };

// The fastest path this processor runs, or the one the environment variable VELKIN_VECTOR_PATH
// forces ("8" or "16"; a path the processor cannot run is not taken).
VectorPath DefaultVectorPath();
// Whether this processor can run the path.
bool CanRun(VectorPath path);
// "8", "16" or "16-avx512".
const char* LaneCountText(VectorPath path);

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
  explicit BlockSearch(VectorPath path = VectorPath::kAuto);
  ~BlockSearch();
  BlockSearch(const BlockSearch&) = delete;
  BlockSearch& operator=(const BlockSearch&) = delete;
  VectorPath path() const { return path_; }

  // Chooses the block that starts at u[0]. `count` is the length the silence detection left
  // (at least 2); `remaining` the number of samples from the block start to the end of the
  // segment. May overwrite up to two buffer entries with copies of their predecessors when the
  // block has to be lengthened to an odd length.
  BlockChoice Choose(BlockBuffer& u, std::size_t count, std::uint32_t remaining);

  // 121 trials rounded up to whole vectors of 16, run side by side.
  static constexpr std::size_t kSlotCapacity = 128;

 private:
  // Trial error of one starting index, run on its own and abandoned past `limit`.
  struct Outcome {
    std::uint64_t error;
    bool completed;
  };
  Outcome SingleTrial(std::uint16_t start, std::size_t length, std::uint64_t limit) const;

  // All 121 trials side by side over `length` samples, each dropped once its error exceeds
  // `limit` (below kSideBySideLimit). Trials that reach the same predictor and index after the same sample go on as one
  // (their errors differ by a constant from then on). Records every running error for Lookup.
  void RunAllTrials(std::size_t length, std::uint64_t limit);
  // Running error of trial `start` after sample k; false when the trial was dropped before k.
  bool Lookup(std::uint16_t start, std::size_t k, std::uint64_t& error) const;
  // Index of least error after sample length - 1 among the recorded trials, lowest on ties;
  // false when no recorded trial stays within `limit`.
  bool LeastRecorded(std::size_t length, std::uint64_t limit, std::uint16_t& chosen) const;
  // Index whose error first overran `limit` at the lowest value, lowest on ties.
  std::uint16_t LeastOverrun(std::size_t length, std::uint64_t limit) const;
  // The same read from the record of a run to a larger cap.
  std::uint16_t LeastRecordedOverrun(std::size_t length, std::uint64_t limit) const;

  // The final index search for the short blocks where the length search's choice does not
  // settle it: read from the record when `recorded_cap` (the cap of the run recorded on the
  // same samples, -1 for none) covers it, else run afresh.
  std::uint16_t FinalIndexOfShortBlock(std::size_t length, std::uint16_t fallback, std::int64_t recorded_cap);

  // The trials still running, one slot each, packed at the front. A slot runs one trial for
  // itself and for every trial that joined it; it is dropped once its error passes `cap`, the
  // error at which the least of those trials passes the limit. Errors are 32-bit: every limit
  // the side-by-side run takes stays below kSideBySideLimit and a squared miss is counted at
  // 2^30 at most, so no sum wraps and every sum within the limit is exact. `error` and `cap`
  // are kept at ErrorPosition(slot).
  struct Slots {
    alignas(64) std::array<std::uint16_t, kSlotCapacity> v;
    alignas(64) std::array<std::uint16_t, kSlotCapacity> x;
    alignas(64) std::array<std::uint16_t, kSlotCapacity> y;  // step of x
    alignas(64) std::array<std::int32_t, kSlotCapacity> error;
    alignas(64) std::array<std::int32_t, kSlotCapacity> cap;
    alignas(64) std::array<std::uint8_t, kSlotCapacity> start;
  };

 public:
  static constexpr std::uint64_t kSideBySideLimit = std::uint64_t{1} << 29;

 private:
  std::size_t ErrorPosition(std::size_t slot) const { return error_position_[slot]; }
  std::size_t PositionOf(std::size_t slot) const;
  // Samples first .. end - 1 for every running slot; true when some slot passed its cap.
  bool RunSlots(std::size_t first, std::size_t end, std::size_t running);
  // Drops the slots that passed their caps in the run of samples from `first` on.
  void DropOverrun(std::size_t first, std::size_t& running);
  void JoinMet(std::size_t j, std::size_t& running);
  void RemoveSlot(std::size_t i, std::size_t& running);

  VectorPath path_;
  std::size_t lanes_;
  const TrialTables* tables_;
  Slots slots_{};
  const BlockBuffer* u_ = nullptr;
  std::uint16_t hint_ = 60;
  bool guess_ = true;  // whether the next block runs the guess at hint_ first

  // Recorded running errors. The side-by-side run keeps its trials in slots and records the
  // slots' errors after every sample. Slots are taken out and joined only between runs of
  // samples: sample k was stepped in run run_of_sample_[k] (sample 0 in run 0), in which trial s
  // was at position position_[run][s] of the record, up to sample last_[s], or up to
  // joined_at_[s] - 1 when it joined trial alias_[s], whose error plus alias_offset_[s] it
  // follows afterwards. Runs end at the samples where met trials are joined, after at most
  // kLongestRun samples, and sooner while many slots are dropped.
  static constexpr std::size_t kLongestRun = 16;
  std::vector<std::array<std::int32_t, kSlotCapacity>> record_;  // about 130 KB, off the stack
  std::vector<std::array<std::uint8_t, kStepCount>> position_;   // a run per sample at most
  std::array<std::uint8_t, kMaxBlockLength> run_of_sample_{};
  std::array<std::uint8_t, kStepCount> position_now_{};     // of the running trials
  std::array<std::uint8_t, kSlotCapacity> error_position_;  // ErrorPosition of every slot
  std::array<std::uint16_t, kStepCount> last_{};
  std::array<std::uint16_t, kStepCount> joined_at_{};
  std::array<std::uint8_t, kStepCount> alias_{};
  std::array<std::int64_t, kStepCount> alias_offset_{};
  std::unique_ptr<StateTable> states_;

  // What every side-by-side run starts from, apart from the predictor and the errors.
  struct Start {
    std::array<std::uint16_t, kSlotCapacity> x;
    std::array<std::uint16_t, kSlotCapacity> y;
    std::array<std::uint8_t, kSlotCapacity> start;
    std::array<bool, kSlotCapacity> used;           // by position: a lane that runs a trial
    std::array<std::uint8_t, kStepCount> position;  // of each trial in the record
  };
  Start MakeStart() const;
  Start start_;
  std::size_t longest_known_ = 0;  // largest k for which any trial's error is known
};

}  // namespace velkin::adpcm4
