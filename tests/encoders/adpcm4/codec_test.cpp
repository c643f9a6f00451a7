// The ADPCM codec: step table, quantiser, reconstruction, index rules and the block layout,
// checked against the format's worked values and against hand-decoded blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "encoders/adpcm4/adpcm_codec.h"
#include "encoders/adpcm4/trial_step.h"

namespace velkin::adpcm4 {
namespace {

TEST(AdpcmStepTable, MatchesTheListedValues) {
  const StepTable expected = {
      1,     2,     3,     4,     5,     6,     7,     8,     9,    10,    11,    12,    13,    14,    15,    16,
      17,    18,    19,    20,    22,    24,    26,    28,    30,   32,    34,    37,    40,    43,    46,    49,
      53,    57,    61,    66,    71,    76,    82,    88,    95,   102,   110,   118,   127,   137,   147,   158,
      170,   183,   197,   212,   228,   245,   263,   283,   304,  327,   352,   378,   406,   436,   469,   504,
      542,   583,   627,   674,   725,   779,   837,   900,   968,  1041,  1119,  1203,  1293,  1390,  1494,  1606,
      1726,  1855,  1994,  2144,  2305,  2478,  2664,  2864,  3079, 3310,  3558,  3825,  4112,  4420,  4752,  5108,
      5491,  5903,  6346,  6822,  7334,  7884,  8475,  9111,  9794, 10529, 11319, 12168, 13081, 14062, 15117, 16251,
      17470, 18780, 20189, 21703, 23331, 25081, 26962, 28984, 31158};
  EXPECT_EQ(BuildStepTable(), expected);
  EXPECT_EQ(Steps(), expected);
  EXPECT_EQ(Steps()[0], 1);
  EXPECT_EQ(Steps()[20], 22);  // 20 * 1.075 + 0.5 is exactly 22 in double precision
  EXPECT_EQ(Steps()[120], 31158);
}

TEST(AdpcmQuantiser, MagnitudeIsFourTimesTheDifferenceOverTheStepLimitedToSeven) {
  EXPECT_EQ(Quantise(32769, 32768, 1), 4);  // difference 1 with step 1
  EXPECT_EQ(Quantise(32768, 32768, 1), 0);
  EXPECT_EQ(Quantise(32767, 32768, 1), kSignBit | 4);
  EXPECT_EQ(Quantise(32768 + 16384, 32768, 1), 7);  // 4 * 16384 = 65536, limited
  EXPECT_EQ(Quantise(0, 65535, 1), kSignBit | 7);
  EXPECT_EQ(Quantise(1000 + 21, 1000, 22), 3);  // 84 / 22 = 3
  EXPECT_EQ(Quantise(1000 + 22, 1000, 22), 4);
  EXPECT_EQ(Quantise(1000 - 43, 1000, 22), kSignBit | 7);
}

TEST(AdpcmQuantiser, TrialMagnitudeWithoutDivisionIsExactForEveryStepAndDifference) {
  const TrialTables& tables = Trial();
  for (std::size_t x = 0; x < kStepCount; ++x) {
    const std::uint32_t y = Steps()[x];
    for (std::int32_t diff = 0; diff <= 65535; ++diff) {
      const std::uint32_t plain = std::min<std::uint32_t>(4 * static_cast<std::uint32_t>(std::abs(diff)) / y, 7);
      ASSERT_EQ(TrialMagnitude(static_cast<std::uint32_t>(std::abs(diff)), tables.reciprocal[x]), plain)
          << "step " << y << " diff " << diff;
    }
  }
}

TEST(AdpcmReconstruction, AddsEighthQuarterHalfAndWholeStep) {
  EXPECT_EQ(StepDelta(0, 31158), 3894);
  EXPECT_EQ(StepDelta(7, 8), 1 + 8 + 4 + 2);
  EXPECT_EQ(StepDelta(4, 100), 12 + 100);
  EXPECT_EQ(StepDelta(2, 100), 12 + 50);
  EXPECT_EQ(StepDelta(1, 100), 12 + 25);
  EXPECT_EQ(StepDelta(0, 7), 0);  // small steps can leave the predictor where it is
}

TEST(AdpcmReconstruction, PredictorIsClampedToSixteenBits) {
  // Magnitude 4 with step 89 moves by 11 + 89 = 100.
  ASSERT_EQ(StepDelta(4, 89), 100);
  EXPECT_EQ(Reconstruct(65500, 4, 89), 65535);
  EXPECT_EQ(Reconstruct(50, kSignBit | 4, 89), 0);
  EXPECT_EQ(Reconstruct(100, kSignBit | 4, 89), 0);
  EXPECT_EQ(Reconstruct(101, kSignBit | 4, 89), 1);
  EXPECT_EQ(Reconstruct(65435, 4, 89), 65535);
  EXPECT_EQ(Reconstruct(65434, 4, 89), 65534);
}

TEST(AdpcmIndexUpdate, PlayerRule) {
  EXPECT_EQ(NextIndex(10, 0), 9);
  EXPECT_EQ(NextIndex(10, 4), 12);
  EXPECT_EQ(NextIndex(10, 7), 18);
  EXPECT_EQ(NextIndex(1, 3), 1);      // 0 becomes 1
  EXPECT_EQ(NextIndex(0, 2), 120);    // 0 - 1 wraps to 65535, the top index
  EXPECT_EQ(NextIndex(119, 7), 120);  // 127 is limited
  EXPECT_EQ(NextIndex(120, 0), 119);
  EXPECT_EQ(NextIndex(113, 7), 120);
}

TEST(AdpcmIndexUpdate, TrialRuleKeepsIndexZero) {
  EXPECT_EQ(NextTrialIndex(1, 3), 0);
  EXPECT_EQ(NextTrialIndex(0, 0), 120);
  EXPECT_EQ(NextTrialIndex(0, 4), 2);
  EXPECT_EQ(NextTrialIndex(119, 7), 120);
  EXPECT_EQ(NextTrialIndex(10, 5), 14);
}

// A three-sample block worked by hand: start index 10 (step 11), then step 13.
//   H = 0x800A; V = 0x8040 = 32832
//   sample 1 = 32844: diff 12, 48 / 11 = 4 -> +(1 + 11) -> 32844, index 12
//   sample 2 = 32840: diff 4, 16 / 13 = 1, below -> -(1 + 3) -> 32840, index 11
TEST(AdpcmBlock, EncodesAHandWorkedBlock) {
  const std::vector<std::uint16_t> u = {32850, 32844, 32840};
  const EncodedBlock block = EncodeBlock(u, 3, 10);
  EXPECT_EQ(block.bytes, (std::vector<std::uint8_t>{0x03, 0x0A, 0x80, 0x94}));
  EXPECT_EQ(block.preview, (std::vector<std::int16_t>{10, 76, 72}));
}

TEST(AdpcmBlock, DecodesAHandWorkedBlock) {
  const std::vector<std::uint8_t> record = {0x03, 0x0A, 0x80, 0x94, 0xEE};
  std::vector<std::uint16_t> out;
  EXPECT_EQ(DecodeBlock(record, out), 4u);
  EXPECT_EQ(out, (std::vector<std::uint16_t>{32832, 32844, 32840}));
}

TEST(AdpcmBlock, FirstCodeGoesIntoTheLowNibble) {
  // Sample 1 far above (code 0x7), sample 2 far below the predictor (code 0xF).
  const std::vector<std::uint16_t> u = {32768, 40000, 20000};
  const EncodedBlock block = EncodeBlock(u, 3, 0);
  ASSERT_EQ(block.bytes.size(), 4u);
  EXPECT_EQ(block.bytes[3], 0xF7);
}

TEST(AdpcmBlock, PreviewStartsWithTheHeaderWord) {
  // H = 0x80 | 5 becomes 0x0085 - 32768.
  const std::vector<std::uint16_t> u = {0x00C3, 0x00C3, 0x00C3};
  const EncodedBlock block = EncodeBlock(u, 3, 5);
  EXPECT_EQ(block.bytes[1], 0x85);
  EXPECT_EQ(block.bytes[2], 0x00);
  EXPECT_EQ(block.preview[0], -32635);
}

TEST(AdpcmBlock, DecoderReproducesThePreviewOfEveryLengthAndIndex) {
  std::vector<std::uint16_t> u(255);
  std::uint32_t r = 12345;
  for (std::size_t i = 0; i < u.size(); ++i) {
    r = r * 1103515245u + 12345u;
    // A wandering signal with occasional full-scale jumps, so both clamps are reached.
    u[i] = i % 37 == 0 ? static_cast<std::uint16_t>(r >> 16)
                       : static_cast<std::uint16_t>(32768 + std::lround(12000 * std::sin(i * 0.3)) + (r >> 24));
  }
  for (std::size_t length : {1u, 2u, 3u, 4u, 15u, 16u, 101u, 254u, 255u}) {
    for (std::uint16_t x0 : {0, 1, 37, 119, 120}) {
      const EncodedBlock block = EncodeBlock(u, length, x0);
      ASSERT_EQ(block.bytes.size(), 3 + length / 2);
      ASSERT_EQ(block.preview.size(), length);
      std::vector<std::uint16_t> decoded;
      ASSERT_EQ(DecodeBlock(block.bytes, decoded), block.bytes.size());
      ASSERT_EQ(decoded.size(), length);
      EXPECT_EQ(decoded[0], StartPredictor(u[0]));
      EXPECT_EQ(static_cast<std::uint16_t>(block.preview[0]) ^ 0x8000, HeaderWord(u[0], x0));
      for (std::size_t j = 1; j < length; ++j) {
        ASSERT_EQ(ToSigned(decoded[j]), block.preview[j]) << "length " << length << " index " << x0 << " j " << j;
      }
    }
  }
}

TEST(AdpcmBlock, DecoderRejectsShortOrInvalidRecords) {
  std::vector<std::uint16_t> out;
  EXPECT_EQ(DecodeBlock(std::vector<std::uint8_t>{0x05, 0x00, 0x80, 0x11}, out), 0u);  // needs 2 code bytes
  EXPECT_EQ(DecodeBlock(std::vector<std::uint8_t>{0x03, 0x79, 0x80, 0x11}, out), 0u);  // index 121
  EXPECT_EQ(DecodeBlock(std::vector<std::uint8_t>{0x00, 0x00, 0x80}, out), 0u);
  EXPECT_EQ(DecodeBlock(std::vector<std::uint8_t>{0x03, 0x00}, out), 0u);
  EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace velkin::adpcm4
