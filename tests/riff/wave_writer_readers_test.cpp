// The WAV writer's files as other readers see them: the encoders' own chunk walk (through the TARPEL
// and VOSSIK exports) turns every written cue into its region, with the cue index and label value,
// and sox reads the samples and nothing else.
#include <gtest/gtest.h>

#include <velkin/tarpel.h>
#include <velkin/vossik.h>

#include <string>
#include <tuple>
#include <vector>

#include "formats/code_file.h"
#include "riff/wave_file.h"
#include "tests/support/child_process.h"
#include "tests/support/program_paths.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wav_builder.h"

namespace velkin::test {
namespace {

using riff::Marker;
using Encoder = int32_t(VELKIN_CALL*)(const char*, const char*, const char*, const char*, int32_t, uint32_t,
                                      EncoderProgressCallback, intptr_t);

class WrittenWave : public ::testing::Test {
 protected:
  WrittenWave() : samples_(SpeechLike(8000, 3)) {
    EXPECT_TRUE(riff::SavePcm16Wave(Wav(), {.rate = 16000, .samples = samples_, .markers = markers_}));
  }
  std::string Wav() const { return dir_.File("regions.wav"); }

  // A cue listed after a later one, a point marker, a label with letters after its digits, one
  // over 255, and an odd-sized label chunk (its pad byte).
  const std::vector<Marker> markers_ = {
      {1, 1000, 500, "3"}, {2, 200, 0, "250"}, {3, 4000, 1000, "7 jingle"}, {4, 6000, 20, "300"}};
  std::vector<std::int16_t> samples_;
  TempDir dir_;
};

TEST_F(WrittenWave, EveryCueBecomesItsRegionInBothEncoders) {
  // (type, cue index, label, position) in the order the encoders sort the region events.
  const std::vector<std::tuple<int, int, int, std::uint64_t>> want = {
      {1, 1, 250, 200}, {2, 1, 250, 200}, {1, 0, 3, 1000},  {2, 0, 3, 1500},
      {1, 2, 7, 4000},  {2, 2, 7, 5000},  {1, 3, 44, 6000}, {2, 3, 44, 6020}};
  for (const auto& [name, encode] : {std::pair<const char*, Encoder>{"TARPEL", TARPEL}, {"VOSSIK", VOSSIK}}) {
    SCOPED_TRACE(name);
    const std::string code = dir_.File(std::string(name) + ".cod");
    ASSERT_EQ(encode(code.c_str(), Wav().c_str(), "12000000", "8", 0, 0, nullptr, 0), 1);
    std::string error;
    const auto decoded = decode::DecodeCodeFile(ReadFileBytes(code), 12000000, error);
    ASSERT_TRUE(decoded) << error;
    ASSERT_EQ(decoded->marks.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
      const auto& [type, cue, label, at] = want[i];
      EXPECT_EQ(decoded->marks[i].type, type) << i;
      EXPECT_EQ(decoded->marks[i].cue, cue) << i;
      EXPECT_EQ(decoded->marks[i].label, label) << i;
      // Each encoder may leave a lone last sample of a segment uncoded, so a marker stands up to one
      // sample earlier in the decoded sound for every segment before it (the first mark follows one).
      EXPECT_LE(at - decoded->marks[i].at_sample, i + 1) << i;
    }
    EXPECT_LE(samples_.size() - decoded->samples.size(), want.size() + 1);
  }
}

TEST_F(WrittenWave, SoxReadsTheSamplesAndTheFormat) {
  const auto sox = FindOnPath("sox");
  if (!sox) GTEST_SKIP() << "sox is not available here";
  const std::string raw = dir_.File("out.raw");
  auto child = ChildProcess::Start(*sox, {Wav(), "-t", "raw", "-e", "signed-integer", "-b", "16", "-L", raw});
  ASSERT_TRUE(child);
  child->ReadAllLines();
  ASSERT_EQ(child->Wait(), 0);
  EXPECT_EQ(ReadFileBytes(raw), SampleBytes(samples_));  // the marker chunks are not taken for samples
  // Rate, channels, bits and samples, one question at a time (sox answers only the last one asked).
  for (const auto& [flag, answer] :
       std::vector<std::pair<std::string, std::string>>{{"-r", "16000"}, {"-c", "1"}, {"-b", "16"}, {"-s", "8000"}}) {
    auto info = ChildProcess::Start(*sox, {"--i", flag, Wav()});
    ASSERT_TRUE(info);
    EXPECT_EQ(info->ReadAllLines(), std::vector<std::string>{answer}) << flag;
    EXPECT_EQ(info->Wait(), 0);
  }
}

}  // namespace
}  // namespace velkin::test
