// The block search: the format's edge cases on the plain reference search and on the production
// search, the production search checked against the reference, choice for choice and byte for
// byte, on many generated signals at every vector level, and its record of the trials checked
// against the scalar step.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "encoders/adpcm4/block_search.h"
#include "reference_search.h"
#include "tests/support/signals/test_signals.h"

namespace velkin::adpcm4 {
namespace {

using test::RecordDifference;
using test::ReferenceChoose;
using test::ReferenceTrial;

constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

BlockBuffer Buffer(const std::vector<std::int16_t>& samples) {
  BlockBuffer u;
  u.fill(32768);
  for (std::size_t i = 0; i < samples.size() && i < u.size(); ++i) u[i] = ToOffset(samples[i]);
  return u;
}

// Runs both searches on copies of the buffer; they must agree on the choice and on the buffer.
BlockChoice ChooseBoth(BlockBuffer& u, std::size_t count, std::uint32_t remaining) {
  BlockBuffer fast_buffer = u;
  BlockSearch search;
  const BlockChoice reference = ReferenceChoose(u, count, remaining);
  const BlockChoice fast = search.Choose(fast_buffer, count, remaining);
  EXPECT_EQ(fast, reference);
  EXPECT_EQ(fast_buffer, u);
  return reference;
}

// A sine of `period` samples.
std::vector<std::int16_t> QuietSine(std::size_t count, double amplitude = 500.0, double period = 80.0) {
  return velkin::test::Sine(count, 1.0, period, amplitude);
}

TEST(AdpcmTrialRun, ErrorIsSummedExactlyIn64Bits) {
  // Full-scale jumps from start index 0 (step 1):
  //   V = 64, error 64^2 = 4096
  //   sample 1: magnitude 7, move 1 -> V = 65, error 65470^2 = 4286320900, index 8 (step 9)
  //   sample 2: magnitude 7, move 1 + 9 + 4 + 2 -> V = 81, error 65454^2 = 4284226116
  BlockBuffer u;
  u.fill(65535);
  u[0] = 0;
  EXPECT_EQ(ReferenceTrial(u, 3, 0, kErrorCeiling, kNoLimit), 8570551112u);
  // Abandoned after sample 1 with the error reached there.
  EXPECT_EQ(ReferenceTrial(u, 3, 0, 1000, kNoLimit), 4286325000u - 4);
  EXPECT_EQ(ReferenceTrial(u, 3, 0, kErrorCeiling, 10u), 4286324996u);
}

TEST(AdpcmTrialRun, HandWorkedBlockErrsOnlyInTheFirstSample) {
  BlockBuffer u;
  u.fill(32768);
  u[0] = 32850;
  u[1] = 32844;
  u[2] = 32840;
  EXPECT_EQ(ReferenceTrial(u, 3, 10, kErrorCeiling, kNoLimit), 18u * 18u);
}

TEST(AdpcmChoose, ATailOfThreeSamplesIsOneBlockOfThree) {
  BlockBuffer u = Buffer({1200, -800, 300});
  EXPECT_EQ(ChooseBoth(u, 3, 3).length, 3u);
}

TEST(AdpcmChoose, EvenLengthFromTheSearchEndsOneSampleEarlier) {
  // Length 30 codes well (no bad sample): the refinement makes it 29, unless the tail of the
  // segment is short enough to be taken in.
  const auto samples = QuietSine(30);
  for (auto [remaining, expected] : {std::pair{1000u, 29u}, {36u, 29u}, {35u, 35u}, {34u, 33u}}) {
    BlockBuffer u = Buffer(samples);
    EXPECT_EQ(ChooseBoth(u, 30, remaining).length, expected) << "remaining " << remaining;
  }
}

TEST(AdpcmChoose, LongBlocksAreNotTakenInToTheSegmentEnd) {
  BlockBuffer u = Buffer(QuietSine(265));
  EXPECT_EQ(ChooseBoth(u, 245, 250).length, 245u);
  BlockBuffer v = Buffer(QuietSine(265));
  EXPECT_EQ(ChooseBoth(v, 239, 244).length, 243u);
}

TEST(AdpcmChoose, LoudBlockShrinksInStepsOfSixDownTo21AtMost) {
  BlockBuffer u = Buffer(velkin::test::MakeSignal(velkin::test::SignalKind::kNoise, 265, 7));
  for (auto& v : u) v = (v & 1) ? 65535 : 0;  // full-scale noise
  // Every start index overruns the budget at 255 and at 249 ...
  for (std::size_t length = 255; length > 21; length -= 6) {
    for (std::uint16_t s = 0; s < kStepCount; ++s) {
      ASSERT_GT(ReferenceTrial(u, length, s, kErrorCeiling, length * kBudgetPerSample), length * kBudgetPerSample);
    }
  }
  const BlockChoice choice = ChooseBoth(u, 255, 100000);
  EXPECT_LE(choice.length, 21u);
  EXPECT_EQ(choice.length % 2, 1u);
}

TEST(AdpcmChoose, BlockEndsBeforeTheFirstBadSampleFromIndex15On) {
  // A jump of 1000 cannot be followed in one sample: the miss is far above 256, yet the block's
  // error stays within the budget, so the length search keeps 255 and the refinement cuts.
  auto samples = QuietSine(265);
  samples[40] = 1000;
  BlockBuffer u = Buffer(samples);
  EXPECT_EQ(ChooseBoth(u, 255, 100000).length, 39u);  // 40 is even

  samples = QuietSine(265);
  samples[41] = 1000;
  BlockBuffer v = Buffer(samples);
  EXPECT_EQ(ChooseBoth(v, 255, 100000).length, 41u);

  BlockBuffer w = Buffer(QuietSine(265));
  EXPECT_EQ(ChooseBoth(w, 255, 100000).length, 255u);
}

TEST(AdpcmChoose, BadSamplesBefore15DoNotEndTheBlock) {
  // A ramp the coder follows closely, with one sample thrown far off at index 3: the misses
  // right after it lie before index 15 and are not counted.
  std::vector<std::int16_t> samples(265);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::int16_t>(i);
  samples[3] = 4000;
  BlockBuffer u = Buffer(samples);
  const BlockChoice choice = ChooseBoth(u, 101, 100000);
  EXPECT_GT(choice.length, 15u);
}

TEST(AdpcmChoose, ShortEvenBlockIsLengthenedWithACopyOfItsLastSample) {
  BlockBuffer u = Buffer({100, 5000, -7000, 2000, 31000, -31000, 40, 41});
  const std::uint16_t last = u[7];
  EXPECT_EQ(ChooseBoth(u, 8, 1000).length, 9u);
  EXPECT_EQ(u[8], last);
}

TEST(AdpcmChoose, LengthOneBecomesThreeCopiesOfTheFirstSample) {
  BlockBuffer u = Buffer({1234, 5000, 6000});
  EXPECT_EQ(ChooseBoth(u, 1, 1000).length, 3u);
  EXPECT_EQ(u[1], u[0]);
  EXPECT_EQ(u[2], u[0]);
}

TEST(AdpcmChoose, TakeInThatWouldLeaveOneSampleIsLeftOut) {
  // Two samples left in the segment: lengthened to 3 (a copy), and not cut back to 1, whose
  // length byte would read as an escape.
  BlockBuffer u = Buffer({300, -300});
  EXPECT_EQ(ChooseBoth(u, 2, 2).length, 3u);
  EXPECT_EQ(u[2], u[1]);
}

TEST(AdpcmChoose, TakeInOfAShortSegmentEnd) {
  // 14 samples left: lengthened to 15 with a copy, then taken back to the 13 real samples.
  BlockBuffer u = Buffer(QuietSine(14));
  EXPECT_EQ(ChooseBoth(u, 14, 14).length, 13u);
}

TEST(AdpcmChoose, ChoosesTheLeastErrorStartIndexLowestOnTies) {
  BlockBuffer u = Buffer(QuietSine(265, 8000, 33));
  const BlockChoice choice = ChooseBoth(u, 255, 100000);
  std::uint64_t least = kNoLimit;
  std::uint16_t least_index = 0;
  for (std::uint16_t s = 0; s < kStepCount; ++s) {
    const std::uint64_t e = ReferenceTrial(u, choice.length, s, kNoLimit, kNoLimit);
    if (e < least) {
      least = e;
      least_index = s;
    }
  }
  EXPECT_EQ(choice.start_index, least_index);

  // Three samples in the middle of their bucket code without error from indexes 1 to 6 (moves
  // of step / 8 are 0); index 0 falls below 0, wraps to the top index and misses by 3894.
  BlockBuffer flat;
  flat.fill(32768 + 0x40);
  EXPECT_EQ(ChooseBoth(flat, 3, 1000), (BlockChoice{3, 1}));
}

TEST(AdpcmTrialRecord, MissesOf32767AndMoreAreCountedAs32767) {
  // From start index 0 the full-scale jump after sample 0 misses by 65470 (see the trial run
  // above): the record steps by 32767^2 there, which the look-up of overrun errors takes as a
  // sign that the trial must be coded again for its exact error.
  BlockBuffer u;
  u.fill(65535);
  u[0] = 0;
  for (const cpu::Level level : {cpu::Level::kSse2, cpu::Level::kAvx2, cpu::Level::kAvx512}) {
    BlockSearch search(level);
    if (search.level() != level) continue;
    BlockBuffer v = u;
    search.Choose(v, 3, 1000);
    std::uint64_t first = 0, second = 0;
    ASSERT_TRUE(search.record().ErrorAfter(0, 0, first)) << cpu::Name(level);
    ASSERT_TRUE(search.record().ErrorAfter(0, 1, second)) << cpu::Name(level);
    EXPECT_EQ(first, 64u * 64u);
    EXPECT_EQ(second - first, TrialRecord::kLargestStep) << cpu::Name(level);
    EXPECT_EQ(RecordDifference(search, v), "") << cpu::Name(level);
  }
}

// The production search against the reference on windows of generated signals, with one
// searcher kept across all blocks (its guesses carry over and must not change any choice).
class AdpcmSearchAgreesWithReference : public ::testing::TestWithParam<velkin::test::SignalKind> {};

// Every level this processor runs is checked (the eight-lane one always).
void AgreeOnManyBlocks(velkin::test::SignalKind kind, cpu::Level level) {
  BlockSearch search(level);
  if (search.level() != level) GTEST_SKIP() << "this processor cannot run " << cpu::Name(level);
  std::uint32_t r = 2024;
  auto next = [&r] {
    r = r * 1664525u + 1013904223u;
    return r >> 8;
  };
  std::size_t blocks = 0;
  for (std::uint32_t seed = 1; seed <= 6; ++seed) {
    const auto signal = velkin::test::MakeSignal(kind, 16000, seed);
    std::size_t at = 0;
    while (at + kBlockBufferSize <= signal.size() && blocks < 60 * seed) {
      BlockBuffer u = Buffer(std::vector<std::int16_t>(signal.begin() + at, signal.begin() + at + kBlockBufferSize));
      // Mostly full blocks, sometimes a silence cut or a segment end nearby.
      std::size_t count = next() % 4 == 0 ? 2 + next() % 264 : 265;
      std::uint32_t remaining = next() % 3 == 0 ? static_cast<std::uint32_t>(2 + next() % 300) : 100000u;
      if (remaining < count) count = remaining;
      BlockBuffer reference_buffer = u;
      const BlockChoice reference = ReferenceChoose(reference_buffer, count, remaining);
      const BlockChoice fast = search.Choose(u, count, remaining);
      ASSERT_EQ(fast, reference) << velkin::test::SignalName(kind) << " " << cpu::Name(level) << " seed " << seed
                                 << " at " << at << " count " << count << " remaining " << remaining;
      ASSERT_EQ(u, reference_buffer);
      ASSERT_EQ(RecordDifference(search, u), "") << velkin::test::SignalName(kind) << " " << cpu::Name(level);
      ASSERT_EQ(EncodeBlock(u, fast.length, fast.start_index).bytes,
                EncodeBlock(reference_buffer, reference.length, reference.start_index).bytes);
      at += std::max<std::size_t>(fast.length, 1) + next() % 40;
      ++blocks;
    }
  }
  EXPECT_GE(blocks, 300u);
}

TEST_P(AdpcmSearchAgreesWithReference, OnManyBlocksWithEightLanes) {
  AgreeOnManyBlocks(GetParam(), cpu::Level::kSse2);
}

TEST_P(AdpcmSearchAgreesWithReference, OnManyBlocksWithSixteenLanes) {
  AgreeOnManyBlocks(GetParam(), cpu::Level::kAvx2);
}

TEST_P(AdpcmSearchAgreesWithReference, OnManyBlocksWithSixteenLanesOfAvx512) {
  AgreeOnManyBlocks(GetParam(), cpu::Level::kAvx512);
}

INSTANTIATE_TEST_SUITE_P(SignalKinds, AdpcmSearchAgreesWithReference,
                         ::testing::ValuesIn(velkin::test::kAllSignalKinds), [](const auto& info) {
                           std::string name = velkin::test::SignalName(info.param);
                           std::erase(name, '-');
                           return name;
                         });

}  // namespace
}  // namespace velkin::adpcm4
