// The audio commands driven through the console's standard input, on generated WAV files.
#include <gtest/gtest.h>

#include <filesystem>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/program_paths.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wav_builder.h"

namespace velkin::test {
namespace {

using Lines = std::vector<std::string>;

class AudioCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    // Resampled copies are named after the path up to its first ".", so the folder must not
    // contain one.
    ASSERT_EQ(dir_.path().string().find('.'), std::string::npos) << dir_.path();
    child_ = ChildProcess::Start(ProgramPath("VelkinUtils"), {"QUAMIRA", "VOXA CDROM"});
    ASSERT_TRUE(child_);
    ASSERT_TRUE(child_->ReadUntilPrompt());
  }
  void TearDown() override {
    if (child_) {
      child_->CloseInput();
      child_->Wait();
    }
  }
  Lines Run(const std::string& line) {
    auto answer = child_->Command(line, std::chrono::seconds(120));
    EXPECT_TRUE(answer) << "no prompt after: " << line;
    return answer.value_or(Lines{"<no prompt>"});
  }
  std::string File(const std::string& name) const { return dir_.File(name); }
  std::string Speech(const std::string& name, std::uint32_t rate, std::uint16_t channels = 1) {
    const std::size_t frames = rate / 4;
    auto samples = Sine(frames * channels, 440.0, rate, 8000.0);
    WriteFileBytes(File(name), SimpleWav(rate, samples, channels));
    return File(name);
  }
  // A progress line is the label and a percentage; the information lines share the label.
  static bool IsProgress(const std::string& line, const std::string& label) {
    const std::string prefix = "*" + label + ":";
    return line.rfind(prefix, 0) == 0 && line.size() > prefix.size() &&
           line.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
  }
  // Splits an encoder answer into its progress lines and the rest.
  static Lines WithoutProgress(const Lines& lines, const std::string& label) {
    Lines rest;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(rest),
                 [&](const std::string& l) { return !IsProgress(l, label); });
    return rest;
  }
  static int ProgressCount(const Lines& lines, const std::string& label) {
    return static_cast<int>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return IsProgress(l, label); }));
  }

  TempDir dir_;
  std::unique_ptr<ChildProcess> child_;
};

TEST_F(AudioCommands, EncoderCommandsWithoutResampling) {
  const auto src = Speech("a.wav", 16000);
  const auto des = File("a.bin");
  for (const std::string word : {"VOSSIK", "TARPEL"}) {
    const std::string label = word == "VOSSIK" ? "MORVIK" : "TARPEL";
    const auto answer = Run(word + " \"" + src + "\" \"" + des + "\"");
    EXPECT_GE(ProgressCount(answer, word), 1);
    EXPECT_EQ(answer.back(), "+" + word + ":src " + src + " des " + des);
    EXPECT_EQ(answer.at(answer.size() - 2), "*" + word + ":100");
    EXPECT_EQ(WithoutProgress(answer, word),
              (Lines{"*" + label + ": des " + des + " src " + src, "+" + word + ":src " + src + " des " + des}));
    EXPECT_FALSE(ReadFileBytes(des).empty());
    EXPECT_FALSE(ReadFileBytes(des + ".PCM").empty());
  }
}

TEST_F(AudioCommands, EncoderCommandsResampleFirstWhenAskedTo) {
  const auto src = Speech("a.wav", 22050);
  const auto des = File("a.bin");
  const auto stem = File("a");
  const auto copy = File("ax16000.wav");
  const auto answer = Run("VOSSIK \"" + src + "\" \"" + des + "\" \"22050\"");
  EXPECT_EQ(WithoutProgress(answer, "VOSSIK"), (Lines{
                                                   "*MORVIK: des " + des + " src " + src,
                                                   "*DOWNSAMPLE:" + copy + "[.wav]",
                                                   "*MORVIK: des " + des + " src " + src + " sample rate 22050",
                                                   "*MORVIK: des " + des + " src " + stem,
                                                   "*MORVIK: des " + des + " src " + copy,
                                                   "+VOSSIK:src " + copy + " des " + des,
                                               }));
  const auto wav = ReadFileBytes(copy);
  ASSERT_GE(wav.size(), 44u);
  EXPECT_EQ(GetU32(wav, 24), 16000u);
}

TEST_F(AudioCommands, SourceAlreadyAt16000IsEncodedAsItIs) {
  const auto src = Speech("b.wav", 16000);
  const auto des = File("b.bin");
  const auto answer = Run("TARPEL \"" + src + "\" \"" + des + "\" \"16000\"");
  EXPECT_EQ(WithoutProgress(answer, "TARPEL"), (Lines{
                                                   "*TARPEL: des " + des + " src " + src,
                                                   "*DOWNSAMPLE:" + File("bx16000.wav") + "[.wav]",
                                                   "+TARPEL:src " + src + " des " + des,
                                               }));
}

TEST_F(AudioCommands, SourceWithoutDotGetsSuffixAppended) {
  const auto src = Speech("plain", 22050);
  const auto des = File("plain-out");
  const auto copy = src + "x16000.wav";
  const auto answer = Run("TARPEL \"" + src + "\" \"" + des + "\" \"22050\"");
  const auto rest = WithoutProgress(answer, "TARPEL");
  ASSERT_EQ(rest.size(), 6u);
  EXPECT_EQ(rest[1], "*DOWNSAMPLE:" + copy + "[]");
  EXPECT_EQ(rest[4], "*TARPEL: des " + des + " src " + copy);
  EXPECT_EQ(rest[5], "+TARPEL:src " + copy + " des " + des);
  EXPECT_EQ(GetU32(ReadFileBytes(copy), 24), 16000u);
}

TEST_F(AudioCommands, EncoderFailuresCarryTheFailureMarker) {
  // 8-bit input: the encoder answers 2, which is a failure too.
  WriteFileBytes(File("eight.wav"), Riff({PcmFmt(16000, 1, 8), Chunk("data", ByteVector(400, 0x80))}));
  EXPECT_EQ(Run("TARPEL \"" + File("eight.wav") + "\" \"" + File("e.bin") + "\"").back(),
            "-TARPEL:src " + File("eight.wav") + " des " + File("e.bin"));
  EXPECT_EQ(Run("VOSSIK \"" + File("missing.wav") + "\" \"" + File("m.bin") + "\"").back(),
            "-VOSSIK:src " + File("missing.wav") + " des " + File("m.bin"));
}

TEST_F(AudioCommands, MissingOrOverlongArgumentsAreBadParameters) {
  EXPECT_EQ(Run("VOSSIK \"a.wav\""), Lines{"-VOSSIK:bad parameter"});
  EXPECT_EQ(Run("TARPEL"), Lines{"-TARPEL:bad parameter"});
  EXPECT_EQ(Run("WAVCONV \"a.wav\" \"\""), Lines{"-WAVCONV:bad parameter"});
  EXPECT_EQ(Run("MONO \"a.wav\""), Lines{"-MONO:bad parameter"});
  EXPECT_EQ(Run("MONO \"" + std::string(128, 'q') + "\" \"x\""), Lines{"-MONO:bad parameter"});
}

TEST_F(AudioCommands, WavconvReportsTheConverterResult) {
  const auto at16k = Speech("c.wav", 16000);
  const auto out = File("c-out.wav");
  EXPECT_EQ(Run("WAVCONV \"" + at16k + "\" \"" + out + "\""), Lines{"-WAVCONV:src " + at16k + " des " + out});
  const auto at22k = Speech("d.wav", 22050);
  const auto out2 = File("d-out.wav");
  EXPECT_EQ(Run("WAVCONV \"" + at22k + "\" \"" + out2 + "\""), Lines{"+WAVCONV:src " + at22k + " des " + out2});
  EXPECT_EQ(GetU32(ReadFileBytes(out2), 24), 16000u);
}

TEST_F(AudioCommands, WavconvWithThirdArgumentMakesOneChannelCopy) {
  const auto mono_src = Speech("e.wav", 22050);
  const auto out = File("e-out.wav");
  const auto third = File("e-mono.wav");
  EXPECT_EQ(Run("WAVCONV \"" + mono_src + "\" \"" + out + "\" \"" + third + "\""),
            (Lines{"chparm " + third, "open file " + out + " ...", "channel is equal !",
                   "+WAVCONV:src " + mono_src + " des " + out}));
}

TEST_F(AudioCommands, AFolderIsNoWaveFile) {
  // Refused at the open, as Windows refuses it (access denied), never read.
  const auto folder = File("folder.wav");
  std::filesystem::create_directory(folder);
  EXPECT_EQ(Run("MONO \"" + folder + "\" \"" + File("h.wav") + "\""),
            (Lines{"open file " + folder + " ...", "Open wave file " + folder + " failed 268!",
                   "-MONO:src " + folder + " des " + File("h.wav")}));
  EXPECT_EQ(Run("WAVCONV \"" + folder + "\" \"" + File("i.wav") + "\"").back(),
            "-WAVCONV:src " + folder + " des " + File("i.wav"));
}

TEST_F(AudioCommands, MonoKeepsTheFirstChannel) {
  const auto mono_src = Speech("f.wav", 16000);
  EXPECT_EQ(Run("MONO \"" + mono_src + "\" \"" + File("g.wav") + "\""),
            (Lines{"open file " + mono_src + " ...", "channel is equal !",
                   "-MONO:src " + mono_src + " des " + File("g.wav")}));
  WriteFileBytes(File("st.wav"), SimpleWav(16000, {1, -1, 2, -2, 3, -3}, 2));
  EXPECT_EQ(Run("mono \"" + File("st.wav") + "\" \"" + File("m.wav") + "\""),
            (Lines{"open file " + File("st.wav") + " ...", "+MONO:src " + File("st.wav") + " des " + File("m.wav")}));
  EXPECT_EQ(ReadFileBytes(File("m.wav")), SimpleWav(16000, {1, 2, 3}, 1));
}

}  // namespace
}  // namespace velkin::test
