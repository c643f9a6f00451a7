// velkin-decode run as a program: the WAV file it writes, the lines it prints, and its exit status
// on damaged files and bad arguments (what the code-file reader decodes is tested in tests/formats).
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

int Decode(const std::vector<std::string>& args, Lines* lines = nullptr) {
  auto child = ChildProcess::Start(ProgramPath("velkin-decode"), args);
  if (!child) return -1;
  const Lines out = child->ReadAllLines();
  if (lines) *lines = out;
  return child->Wait();
}

TEST(VelkinDecode, WritesTheSamplesAndListsTheRegions) {
  TempDir dir;
  ByteVector code = {0x10, 0x00, 0x00, 0x3B, 0x5A, 0xA3, 0x00, 0x45, 0xFF, 0x07};
  PutBytes(code, {0x06, 0x01, 0x80, 0x12, 0x3C, 0xAB});  // words 0x1230, 0xABC0
  PutBytes(code, {0x00, 0x01, 0x20, 0x0C});              // region start, cue 0, label 12
  PutBytes(code, {0x00, 0x0C, 0x40});                    // 12 silent samples
  PutBytes(code, {0x00, 0x02, 0x3F, 0x2C});              // region end, cue 31, label 44
  PutBytes(code, {0xFF, 0xFF, 0xFF, 0xFF});
  WriteFileBytes(dir.File("in.COD"), code);
  std::vector<std::int16_t> samples = {0x1230 - 32768, 0xABC0 - 32768};
  samples.insert(samples.end(), 12, 0);
  Lines lines;
  ASSERT_EQ(Decode({dir.File("in.COD"), dir.File("out.wav")}, &lines), 0);
  EXPECT_EQ(lines, (Lines{"TARPEL 16000 Hz, 14 samples (header 16)", "region start cue 0 label 12 at 2",
                          "region end cue 31 label 44 at 14"}));
  EXPECT_EQ(ReadFileBytes(dir.File("out.wav")), SimpleWav(16000, samples));  // plain 16-bit mono PCM
  ASSERT_EQ(Decode({"--rate", "11111", dir.File("in.COD"), dir.File("out.wav")}, &lines), 0);
  EXPECT_EQ(lines.at(0), "TARPEL 11111 Hz, 14 samples (header 16)");
  EXPECT_EQ(ReadFileBytes(dir.File("out.wav")), SimpleWav(11111, samples));
}

TEST(VelkinDecode, DamagedFilesAndBadArguments) {
  TempDir dir;
  WriteFileBytes(dir.File("cut.COD"), {0x02, 0x00, 0x00, 0x3B, 0x5A, 0xA3, 0x00, 0x45, 0xFF, 0x07});  // no end
  Lines lines;
  EXPECT_EQ(Decode({dir.File("cut.COD"), dir.File("out.wav")}, &lines), 1);
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ(Decode({dir.File("absent.COD"), dir.File("out.wav")}), 1);
  for (const auto& args : {Lines{}, Lines{"only-one"}, Lines{"--rate", "x", "a", "b"}}) {
    EXPECT_EQ(Decode(args, &lines), 2);
    EXPECT_TRUE(lines.empty());
  }
}

}  // namespace
}  // namespace velkin::test
