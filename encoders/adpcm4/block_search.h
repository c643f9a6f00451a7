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

#include "adpcm_codec.h"

namespace velkin::adpcm4 {

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
  BlockSearch();

  // Chooses the block that starts at u[0]. `count` is the length the silence detection left
  // (at least 2); `remaining` the number of samples from the block start to the end of the
  // segment. May overwrite up to two buffer entries with copies of their predecessors when the
  // block has to be lengthened to an odd length.
  BlockChoice Choose(BlockBuffer& u, std::size_t count, std::uint32_t remaining);

 private:
  struct Track;
  struct Outcome {
    std::uint64_t error;
    bool completed;
  };

  void Reset(const BlockBuffer& u);
  Outcome Evaluate(std::uint16_t start, std::size_t length, std::uint64_t limit);
  void Extend(Track& track, std::size_t length, std::uint64_t limit);
  std::uint16_t FinalIndex(std::size_t length, std::uint16_t fallback);

  // Cumulative trial error of each starting index after each sample, computed lazily: a trial's
  // running error after sample j does not depend on the block length being tried, so one prefix
  // serves every length pass and the final search.
  struct Track {
    std::uint16_t v = 0;
    std::uint16_t x = 0;
    std::uint16_t done = 0;  // cum[0 .. done - 1] are known
  };
  std::array<Track, kStepCount> tracks_{};
  std::array<std::array<std::uint64_t, kMaxBlockLength + 1>, kStepCount> cum_{};
  const BlockBuffer* u_ = nullptr;
  std::uint16_t hint_ = 60;
};

}  // namespace velkin::adpcm4
