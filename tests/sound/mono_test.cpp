// The console's mono routine on generated files: byte-exact output, the source never changed, and
// the message of each step that can fail, as the console prints them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sound/mono.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wav_builder.h"

namespace velkin::sound {
namespace {

using test::ByteVector;

class MakeMonoWaveTest : public ::testing::Test {
 protected:
  std::string Source(const ByteVector& bytes) {
    test::WriteFileBytes(dir_.File("in.wav"), bytes);
    return dir_.File("in.wav");
  }
  int Run(const ByteVector& bytes) {
    const auto in = Source(bytes);
    const int r = Mono(in, Out());
    EXPECT_EQ(test::ReadFileBytes(in), bytes) << "the source was changed";
    return r;
  }
  int Mono(const std::string& in, const std::string& out) {
    lines_.clear();
    return MakeMonoWave(in.c_str(), out.c_str(), [this](const char* line) { lines_.push_back(line); });
  }
  // The messages after "open file ... ".
  std::vector<std::string> Said() const {
    return lines_.size() < 2 ? std::vector<std::string>{} : std::vector<std::string>(lines_.begin() + 1, lines_.end());
  }
  std::string Out() const { return dir_.File("out.wav"); }
  ByteVector Output() const { return test::ReadFileBytes(Out()); }

  test::TempDir dir_;
  std::vector<std::string> lines_;
};

// Expected output: RIFF, a "fmt " chunk with the given body, a "data" chunk.
ByteVector Expected(const ByteVector& fmt_body, const ByteVector& data) {
  return test::Riff({test::Chunk("fmt ", fmt_body), test::Chunk("data", data)});
}

TEST_F(MakeMonoWaveTest, SixteenBitStereoKeepsLeftChannel) {
  ASSERT_EQ(Run(test::SimpleWav(22050, {10, -10, 20, -20, 30, -30}, 2)), 1);
  EXPECT_EQ(Output(), Expected(test::FmtBody(1, 1, 22050, 16), test::SampleBytes({10, 20, 30})));
  EXPECT_EQ(test::GetU16(Output(), 32), 2);       // nBlockAlign
  EXPECT_EQ(test::GetU32(Output(), 28), 44100u);  // nAvgBytesPerSec
}

TEST_F(MakeMonoWaveTest, EightBitStereoKeepsEveryOtherByte) {
  const ByteVector data{1, 2, 3, 4, 5, 6, 7};  // odd size: padded in the file
  ASSERT_EQ(Run(test::Riff({test::PcmFmt(8000, 2, 8), test::Chunk("data", data)})), 1);
  EXPECT_EQ(Output(), Expected(test::FmtBody(1, 1, 8000, 8), ByteVector{1, 3, 5}));
}

TEST_F(MakeMonoWaveTest, ThreeChannelsStillTakeEveryOtherSample) {
  ASSERT_EQ(Run(test::SimpleWav(16000, {1, 2, 3, 4, 5, 6}, 3)), 1);
  EXPECT_EQ(Output(), Expected(test::FmtBody(1, 1, 16000, 16), test::SampleBytes({1, 3, 5})));
}

TEST_F(MakeMonoWaveTest, EighteenByteFormatWithZeroExtensionGivesSixteen) {
  const auto in = test::Riff(
      {test::Chunk("fmt ", test::FmtBody(1, 2, 16000, 16, true, 0)), test::Chunk("data", test::SampleBytes({5, 6}))});
  ASSERT_EQ(Run(in), 1);
  EXPECT_EQ(Output(), Expected(test::FmtBody(1, 1, 16000, 16), test::SampleBytes({5})));
}

TEST_F(MakeMonoWaveTest, LongFormatChunkNeverSpillsOutOfTheRecord) {
  // An extensible record: cbSize announces 22 bytes of extension and the chunk holds them.
  ByteVector extra(22, 0xAB);
  const auto body = test::FmtBody(0xFFFE, 2, 16000, 16, true, 22, extra);
  ASSERT_EQ(Run(test::Riff({test::Chunk("fmt ", body), test::Chunk("data", test::SampleBytes({7, 8, 9, 10}))})), 1);
  const auto out = Output();
  // The output is a valid file: its fmt chunk says exactly what follows, then the data chunk.
  const std::uint32_t fmt_size = test::GetU32(out, 16);
  EXPECT_EQ(fmt_size, 18u + test::GetU16(out, 36));
  EXPECT_EQ(std::string(out.begin() + 20 + fmt_size, out.begin() + 24 + fmt_size), "data");
  EXPECT_EQ(test::GetU32(out, 24 + fmt_size), 4u);
  EXPECT_EQ(test::GetU32(out, 4), out.size() - 8);
}

TEST_F(MakeMonoWaveTest, PartialPairsAreNotCopied) {
  // 16-bit stereo with a data chunk of 10 bytes: two whole frames and half of a third.
  const ByteVector data{1, 0, 2, 0, 3, 0, 4, 0, 5, 0};
  ASSERT_EQ(Run(test::Riff({test::PcmFmt(16000, 2), test::Chunk("data", data)})), 1);
  EXPECT_EQ(Output(), Expected(test::FmtBody(1, 1, 16000, 16), ByteVector{1, 0, 3, 0}));
}

TEST_F(MakeMonoWaveTest, EachRefusalSaysItsStep) {
  using Lines = std::vector<std::string>;
  EXPECT_EQ(Run(test::SimpleWav(16000, {1, 2, 3}, 1)), 0);  // one channel already
  EXPECT_EQ(lines_.front(), "open file " + dir_.File("in.wav") + " ...\n");
  EXPECT_EQ(Said(), Lines{"channel is equal !\n"});
  EXPECT_TRUE(Output().empty());
  EXPECT_EQ(Run(ByteVector{'n', 'o', 't', ' ', 'w', 'a', 'v', 'e'}), -1);
  EXPECT_EQ(Said(), Lines{"Error descending into file 265[265]!\n"});
  EXPECT_EQ(Run(test::Riff({test::Chunk("data", {1, 2})})), -1);
  EXPECT_EQ(Said(), Lines{"Error descending in wave file !\n"});
  // A format chunk that promises 16 bytes in a file that ends after 10 of them.
  ByteVector cut = test::Riff({test::PcmFmt(16000, 2)});
  cut.resize(cut.size() - 6);
  EXPECT_EQ(Run(cut), -1);
  EXPECT_EQ(Said(), Lines{"Error reading PCM wave format record !\n"});
  EXPECT_EQ(Run(test::Riff({test::PcmFmt(16000, 2)})), -1);
  EXPECT_EQ(Said(), Lines{"error reading data chunk !\n"});
  // Sample width below one byte would never advance.
  EXPECT_EQ(Run(test::Riff({test::PcmFmt(16000, 2, 4), test::Chunk("data", {1, 2, 3, 4})})), -1);
  EXPECT_EQ(Said(), Lines{"Error sample width 4 bits !\n"});
  EXPECT_EQ(Mono(dir_.File("none.wav"), Out()), -1);
  EXPECT_EQ(Said(), Lines{"Open wave file " + dir_.File("none.wav") + " failed 257!\n"});
  EXPECT_EQ(Mono("", Out()), -1);
  EXPECT_TRUE(lines_.empty());
  EXPECT_TRUE(Output().empty());
  // No sink: the same work, the messages dropped.
  EXPECT_EQ(MakeMonoWave(Source(test::SimpleWav(16000, {1, 2}, 2)).c_str(), Out().c_str(), nullptr), 1);
}

}  // namespace
}  // namespace velkin::sound
