#include "reference_search.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "encoders/adpcm4/trial_step.h"

namespace velkin::adpcm4::test {

namespace {

std::uint64_t Square(std::uint16_t a, std::uint16_t b) {
  const std::int64_t d = std::int64_t{a} - std::int64_t{b};
  return static_cast<std::uint64_t>(d * d);
}

}  // namespace

std::uint64_t ReferenceTrial(const BlockBuffer& u, std::size_t length, std::uint16_t start, std::uint64_t best,
                             std::uint64_t budget) {
  const StepTable& steps = Steps();
  std::uint16_t v = StartPredictor(u[0]);
  std::uint16_t x = start;
  std::uint64_t error = Square(u[0], v);
  for (std::size_t j = 1; j < length; ++j) {
    const std::uint16_t y = steps[x];
    const std::uint8_t code = Quantise(u[j], v, y);
    v = Reconstruct(v, code, y);
    x = NextTrialIndex(x, code & 7);
    error += Square(u[j], v);
    if (error > best || error > budget) break;
  }
  return error;
}

BlockChoice ReferenceChoose(BlockBuffer& u, std::size_t count, std::uint32_t remaining) {
  constexpr std::uint64_t kNoBudget = std::numeric_limits<std::uint64_t>::max();
  std::size_t length = std::min(count, kMaxBlockLength);
  std::uint16_t x0 = 0;

  // Length search.
  for (;;) {
    const std::uint64_t budget = length * kBudgetPerSample;
    std::uint64_t best = kErrorCeiling;
    for (std::uint16_t s = 0; s < kStepCount; ++s) {
      const std::uint64_t error = ReferenceTrial(u, length, s, best, budget);
      if (error < best) {
        best = error;
        x0 = s;
      }
    }
    if (std::sqrt(static_cast<double>(best) / static_cast<double>(length)) > 511.0 && length > kShortestShrunkLength) {
      length -= kLengthStep;
    } else {
      break;
    }
  }

  // Refinement: end the block before the first badly coded sample from index 15 on.
  if (length > kShortestRefined) {
    const StepTable& steps = Steps();
    std::uint16_t v = StartPredictor(u[0]);
    std::uint16_t x = x0;
    for (std::size_t j = 1; j < length; ++j) {
      const std::uint16_t y = steps[x];
      const std::uint8_t code = Quantise(u[j], v, y);
      v = Reconstruct(v, code, y);
      x = NextTrialIndex(x, code & 7);
      const int s = int{u[j]} - 32768;
      const int miss = std::abs(int{v} - int{u[j]});
      const bool bad = (s > -1024 && s < 1024) ? miss >= 256 : double(miss) / double(std::abs(s)) >= 0.3;
      if (bad && j >= kShortestRefined) {
        length = j;
        break;
      }
    }
    if (length % 2 == 0) --length;
  }

  // Odd length.
  if (length == 1) {
    u[1] = u[0];
    u[2] = u[0];
    length = 3;
  }
  if (length % 2 == 0) {
    u[length] = u[length - 1];
    ++length;
  }

  // Final index search.
  std::uint64_t best = kErrorCeiling;
  for (std::uint16_t s = 0; s < kStepCount; ++s) {
    const std::uint64_t error = ReferenceTrial(u, length, s, best, kNoBudget);
    if (error < best) {
      best = error;
      x0 = s;
    }
  }

  // Segment-end take-in, left out when it would give fewer than 3 samples.
  if (length + kTailTakeIn > remaining && length < kLongestTakeIn) {
    std::size_t tail = remaining;
    if (tail % 2 == 0) --tail;
    if (tail >= 3) length = tail;
  }
  return {length, x0};
}

std::string RecordDifference(const BlockSearch& search, const BlockBuffer& u) {
  const TrialRecord& record = search.record();
  if (!record.valid()) return {};
  const TrialTables& tables = Trial();
  for (std::uint16_t s = 0; s < kStepCount; ++s) {
    std::int32_t v = StartPredictor(u[0]);
    std::uint32_t x = s;
    std::uint64_t want = 0;
    for (std::size_t k = 0; k < kMaxBlockLength; ++k) {
      if (k > 0) v = TrialStep(u[k], v, x, tables);
      const std::uint64_t miss = static_cast<std::uint64_t>(std::abs(std::int32_t{u[k]} - v));
      const std::uint64_t counted = std::min<std::uint64_t>(miss, TrialRecord::kLargestCountedMiss);
      want += counted * counted;
      std::uint64_t got = 0;
      if (!record.ErrorAfter(s, k, got)) break;
      if (got != want) {
        return "trial " + std::to_string(s) + " after sample " + std::to_string(k) + ": recorded " +
               std::to_string(got) + ", coded " + std::to_string(want);
      }
    }
  }
  return {};
}

}  // namespace velkin::adpcm4::test
