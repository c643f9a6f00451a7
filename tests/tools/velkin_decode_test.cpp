// velkin-decode run as a program on hand-made code files: samples, region listing, rates, and refusal
// of damaged files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/program_paths.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wav_builder.h"

namespace velkin::test {
namespace {

using Lines = std::vector<std::string>;

struct Outcome {
  int status = -1;
  Lines lines;
  ByteVector wav;
};

Outcome Decode(const TempDir& dir, const ByteVector& code, const std::vector<std::string>& options = {}) {
  WriteFileBytes(dir.File("in.COD"), code);
  std::vector<std::string> args = options;
  args.push_back(dir.File("in.COD"));
  args.push_back(dir.File("out.wav"));
  Outcome o;
  auto child = ChildProcess::Start(ProgramPath("velkin-decode"), args);
  if (!child) return o;
  o.lines = child->ReadAllLines();
  o.status = child->Wait();
  o.wav = ReadFileBytes(dir.File("out.wav"));
  return o;
}

std::vector<std::int16_t> WavSamples(const ByteVector& wav) {
  std::vector<std::int16_t> s;
  for (std::size_t i = 44; i + 1 < wav.size(); i += 2) s.push_back(static_cast<std::int16_t>(GetU16(wav, i)));
  return s;
}

ByteVector Bytes(std::initializer_list<ByteVector> parts) {
  ByteVector all;
  for (const auto& p : parts) PutBytes(all, p);
  return all;
}

const ByteVector kEnd = {0xFF, 0xFF, 0xFF, 0xFF};

TEST(VelkinDecode, BlocksSilenceAndMarkers) {
  TempDir dir;
  const auto code = Bytes({{0x10, 0x00, 0x00, 0x3B, 0x5A, 0xA3, 0x00, 0x45, 0xFF, 0x07},
                           {0x06, 0x01, 0x80, 0x12, 0x3C, 0xAB},  // normal: words 0x1230, 0xABC0
                           {0x00, 0x01, 0x20, 0x0C},              // region start, cue 0, label 12
                           {0x00, 0x0C, 0x40},                    // 12 silent samples
                           {0x06, 0x01, 0x00, 0x7F, 0xF0, 0x80},  // low level: words 0x7FF0, 0x8000
                           {0x00, 0x02, 0x3F, 0x2C},              // region end, cue 31, label 44
                           kEnd});
  const auto o = Decode(dir, code);
  ASSERT_EQ(o.status, 0);
  EXPECT_EQ(o.lines, (Lines{"TARPEL 16000 Hz, 16 samples (header 16)", "region start cue 0 label 12 at 2",
                            "region end cue 31 label 44 at 16"}));
  std::vector<std::int16_t> expected = {0x1230 - 32768, 0xABC0 - 32768};
  expected.insert(expected.end(), 12, 0);
  expected.push_back(-2);  // (0x7FF0 - 32768) / 8
  expected.push_back(0);
  EXPECT_EQ(WavSamples(o.wav), expected);
  // A plain 16-bit mono PCM WAV file.
  ASSERT_GE(o.wav.size(), 44u);
  EXPECT_EQ(ByteVector(o.wav.begin(), o.wav.begin() + 4), (ByteVector{'R', 'I', 'F', 'F'}));
  EXPECT_EQ(GetU32(o.wav, 4), o.wav.size() - 8);
  EXPECT_EQ(GetU16(o.wav, 20), 1);
  EXPECT_EQ(GetU16(o.wav, 22), 1);
  EXPECT_EQ(GetU32(o.wav, 24), 16000u);
  EXPECT_EQ(GetU32(o.wav, 28), 32000u);
  EXPECT_EQ(GetU16(o.wav, 32), 2);
  EXPECT_EQ(GetU16(o.wav, 34), 16);
  EXPECT_EQ(GetU32(o.wav, 40), 32u);
}

TEST(VelkinDecode, HeaderLayoutsAndRates) {
  TempDir dir;
  // No prescaler (two timer bytes), rate code 0.
  auto o = Decode(dir, Bytes({{0x00, 0x00, 0x00, 0x0B, 0x5A, 0x7B, 0xBA, 0x07}, kEnd}));
  ASSERT_EQ(o.status, 0);
  EXPECT_EQ(o.lines, (Lines{"TARPEL 6000 Hz, 0 samples (header 0)"}));
  // The 3580000 Hz clock's eight timer bytes.
  o = Decode(dir, Bytes({{0x00, 0x00, 0x00, 0x3B, 0x5A, 0xC9, 0xFF, 0x91, 0xFF, 0x59, 0xFF, 0x21, 0xFF, 0x07}, kEnd}));
  ASSERT_EQ(o.status, 0);
  EXPECT_EQ(o.lines, (Lines{"TARPEL 16000 Hz, 0 samples (header 0)"}));
  // Rate code 15: the rate the device's timer gives, 12000000 / (4 * 750).
  const ByteVector odd_rate = Bytes({{0x00, 0x00, 0x00, 0xFB, 0x5A, 0x45, 0x01, 0x12, 0xFD, 0x07}, kEnd});
  o = Decode(dir, odd_rate);
  ASSERT_EQ(o.status, 0);
  EXPECT_EQ(o.lines, (Lines{"TARPEL 4000 Hz, 0 samples (header 0)"}));
  o = Decode(dir, odd_rate, {"--clock", "6000000"});
  EXPECT_EQ(o.lines, (Lines{"TARPEL 2000 Hz, 0 samples (header 0)"}));
  o = Decode(dir, odd_rate, {"--rate", "11111"});
  EXPECT_EQ(o.lines, (Lines{"TARPEL 11111 Hz, 0 samples (header 0)"}));
  EXPECT_EQ(GetU32(o.wav, 24), 11111u);
}

TEST(VelkinDecode, DamagedFilesAreRefused) {
  TempDir dir;
  const ByteVector header = {0x02, 0x00, 0x00, 0x3B, 0x5A, 0xA3, 0x00, 0x45, 0xFF, 0x07};
  const ByteVector block = {0x06, 0x01, 0x80, 0x12, 0x3C, 0xAB};
  const std::vector<ByteVector> damaged = {
      Bytes({header, block}),                                                       // no end of stream
      Bytes({header, {0x06, 0x05, 0x80, 0x12}}),                                    // block runs past the end
      Bytes({header, block, kEnd, {0x00}}),                                         // bytes after the end
      Bytes({header, {0x00, 0x00, 0x40}, kEnd}),                                    // silence of 0 samples
      Bytes({header, {0x42}, kEnd}),                                                // unknown record
      Bytes({{0x00, 0x00, 0x00, 0x3B, 0x77, 0xA3, 0x00, 0x45, 0xFF, 0x07}, kEnd}),  // unknown format byte
      Bytes({{0x00, 0x00, 0x00, 0x35, 0x5A, 0xA3, 0x00, 0x45, 0xFF, 0x07}, kEnd}),  // not a rate byte
      ByteVector{0x00, 0x00},
  };
  for (std::size_t i = 0; i < damaged.size(); ++i) {
    const auto o = Decode(dir, damaged[i]);
    EXPECT_EQ(o.status, 1) << i;
    EXPECT_TRUE(o.lines.empty()) << i;
  }
}

TEST(VelkinDecode, BadArguments) {
  TempDir dir;
  for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"only-one"},
                           std::vector<std::string>{"--rate", "x", "a", "b"}}) {
    auto child = ChildProcess::Start(ProgramPath("velkin-decode"), args);
    ASSERT_TRUE(child);
    EXPECT_TRUE(child->ReadAllLines().empty());
    EXPECT_EQ(child->Wait(), 2);
  }
  auto child = ChildProcess::Start(ProgramPath("velkin-decode"), {dir.File("absent.COD"), dir.File("out.wav")});
  ASSERT_TRUE(child);
  EXPECT_EQ(child->Wait(), 1);
}

}  // namespace
}  // namespace velkin::test
