// The code-file reader on hand-made code files: samples of both block formats, silence, region
// markers, every header layout and rate, and refusal of damaged files with a reason.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formats/code_file.h"
#include "tests/support/wav_builder.h"

namespace velkin::test {
namespace {

ByteVector Bytes(std::initializer_list<ByteVector> parts) {
  ByteVector all;
  for (const auto& p : parts) PutBytes(all, p);
  return all;
}

std::optional<decode::DecodedFile> Decode(const ByteVector& code, std::uint32_t clock = 12000000) {
  std::string error;
  auto decoded = decode::DecodeCodeFile(code, clock, error);
  EXPECT_EQ(decoded.has_value(), error.empty()) << error;
  return decoded;
}

const ByteVector kEnd = {0xFF, 0xFF, 0xFF, 0xFF};

TEST(CodeFileReader, BlocksSilenceAndMarkers) {
  const auto decoded = Decode(Bytes({{0x10, 0x00, 0x00, 0x3B, 0x5A, 0xA3, 0x00, 0x45, 0xFF, 0x07},
                                     {0x06, 0x01, 0x80, 0x12, 0x3C, 0xAB},  // normal: words 0x1230, 0xABC0
                                     {0x00, 0x01, 0x20, 0x0C},              // region start, cue 0, label 12
                                     {0x00, 0x0C, 0x40},                    // 12 silent samples
                                     {0x06, 0x01, 0x00, 0x7F, 0xF0, 0x80},  // low level: words 0x7FF0, 0x8000
                                     {0x00, 0x02, 0x3F, 0x2C},              // region end, cue 31, label 44
                                     kEnd}));
  ASSERT_TRUE(decoded);
  EXPECT_STREQ(decoded->decoder->name, "TARPEL");
  EXPECT_EQ(decoded->sample_rate, 16000u);
  EXPECT_EQ(decoded->declared_samples, 16u);
  std::vector<std::int16_t> expected = {0x1230 - 32768, 0xABC0 - 32768};
  expected.insert(expected.end(), 12, 0);
  expected.push_back(-2);  // (0x7FF0 - 32768) / 8
  expected.push_back(0);
  EXPECT_EQ(decoded->samples, expected);
  ASSERT_EQ(decoded->marks.size(), 2u);
  EXPECT_EQ((std::vector<int>{decoded->marks[0].type, decoded->marks[0].cue, decoded->marks[0].label}),
            (std::vector<int>{1, 0, 12}));
  EXPECT_EQ(decoded->marks[0].at_sample, 2u);
  EXPECT_EQ(decoded->stream_start, 10u);
  EXPECT_EQ(decoded->marks[0].at_byte, 16u);
  EXPECT_EQ((std::vector<int>{decoded->marks[1].type, decoded->marks[1].cue, decoded->marks[1].label}),
            (std::vector<int>{2, 31, 44}));
  EXPECT_EQ(decoded->marks[1].at_sample, 16u);
  EXPECT_EQ(decoded->marks[1].at_byte, 29u);
  ASSERT_EQ(decoded->silences.size(), 1u);
  EXPECT_EQ(decoded->silences[0].at_sample, 2u);
  EXPECT_EQ(decoded->silences[0].length, 12u);
  EXPECT_EQ(decoded->blocks, 2u);
}

TEST(CodeFileReader, AdpcmBlocksEndWithTheEscapedZero) {
  // One block of three samples from step index 0: code 4 (up by step 1, index to 2), then code 0xC
  // (down by step 3).
  const auto decoded = Decode(Bytes(
      {{0x03, 0x00, 0x00, 0x3B, 0x54, 0xA3, 0x00, 0x45, 0xFF, 0x07}, {0x03, 0x00, 0x80, 0xC4}, {0x01, 0x00, 0x00}}));
  ASSERT_TRUE(decoded);
  EXPECT_STREQ(decoded->decoder->name, "VOSSIK");
  EXPECT_EQ(decoded->samples, (std::vector<std::int16_t>{64, 65, 62}));
}

TEST(CodeFileReader, HeaderLayoutsAndRates) {
  // No prescaler (two timer bytes), rate code 0.
  auto decoded = Decode(Bytes({{0x00, 0x00, 0x00, 0x0B, 0x5A, 0x7B, 0xBA, 0x07}, kEnd}));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->sample_rate, 6000u);
  // The 3580000 Hz clock's eight timer bytes.
  decoded = Decode(Bytes({{0x00, 0x00, 0x00, 0x3B, 0x5A, 0xC9, 0xFF, 0x91, 0xFF, 0x59, 0xFF, 0x21, 0xFF, 0x07}, kEnd}));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->sample_rate, 16000u);
  // Rate code 15: the rate the device's timer gives, clock / (4 * 750).
  const ByteVector odd_rate = Bytes({{0x00, 0x00, 0x00, 0xFB, 0x5A, 0x45, 0x01, 0x12, 0xFD, 0x07}, kEnd});
  decoded = Decode(odd_rate);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->sample_rate, 4000u);
  decoded = Decode(odd_rate, 6000000);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->sample_rate, 2000u);
}

TEST(CodeFileReader, DamagedFilesAreRefusedWithAReason) {
  const ByteVector header = {0x02, 0x00, 0x00, 0x3B, 0x5A, 0xA3, 0x00, 0x45, 0xFF, 0x07};
  const ByteVector block = {0x06, 0x01, 0x80, 0x12, 0x3C, 0xAB};
  const std::vector<std::pair<ByteVector, std::string>> damaged = {
      {Bytes({header, block}), "no end of stream"},
      {Bytes({header, {0x06, 0x05, 0x80, 0x12}}), "bad record at byte 10"},  // block runs past the end
      {Bytes({header, block, kEnd, {0x00}}), "bytes after the end of stream at byte 20"},
      {Bytes({header, {0x00, 0x00, 0x40}, kEnd}), "bad escape record at byte 10"},  // silence of 0 samples
      {Bytes({header, {0x42}, kEnd}), "bad record at byte 10"},
      {Bytes({{0x00, 0x00, 0x00, 0x3B, 0x77, 0xA3, 0x00, 0x45, 0xFF, 0x07}, kEnd}), "unknown format byte 119"},
      {Bytes({{0x00, 0x00, 0x00, 0x35, 0x5A, 0xA3, 0x00, 0x45, 0xFF, 0x07}, kEnd}), "not a code file (rate byte)"},
      {ByteVector{0x00, 0x00}, "too short for a code file"},
  };
  for (const auto& [file, reason] : damaged) {
    std::string error;
    EXPECT_FALSE(decode::DecodeCodeFile(file, 12000000, error)) << reason;
    EXPECT_EQ(error, reason);
  }
}

}  // namespace
}  // namespace velkin::test
