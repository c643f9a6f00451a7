// Set files: every key read with its line, defaults, the faults a person makes named by file and
// line, and a set written back reading as the same set.
#include <gtest/gtest.h>

#include <string>

#include "sets/set_file.h"
#include "sound/level.h"
#include "tests/support/sound_sets.h"

namespace velkin::test {
namespace {

using sets::Diagnostics;

std::optional<sets::SetFile> Parse(const std::string& text, Diagnostics& d, const std::string& path = "dir/set.toml") {
  return sets::ParseSet(text, path, d);
}

// The one error a text gives, formatted; fails the test when there is not exactly one.
std::string OnlyError(const std::string& text) {
  Diagnostics d;
  EXPECT_FALSE(Parse(text, d));
  EXPECT_EQ(d.ErrorCount(), 1u) << d.Text();
  return d.FirstError();
}

TEST(SetFile, ReadsEveryKeyWithDefaultsAndClipOverrides) {
  const std::string text = R"(version = 1
encoder = "tarpel"
rate = 22050
threshold = 32
clock = 3580000
capacity = 262144
trim = true
trim_threshold = -40
pause = 0.5
peak = -3

[[clip]]
file = "hello.wav"

[[clip]]
file = "sub/bye.wav"
label = 200
name = "Bye"
channels = "mix"
trim = false
gain = -6.5
pause = 0
)";
  Diagnostics d;
  const auto set = Parse(text, d);
  ASSERT_TRUE(set) << d.Text();
  EXPECT_TRUE(d.All().empty()) << d.Text();
  EXPECT_EQ(set->encoder, sets::Encoder::kTarpel);
  EXPECT_EQ(set->rate, 22050u);
  EXPECT_EQ(set->threshold, 32u);
  EXPECT_EQ(set->clock, 3580000u);
  EXPECT_FALSE(set->capacity.unit);
  EXPECT_EQ(set->capacity.bytes, 262144u);
  EXPECT_EQ(set->capacity.spot.line, 6);
  ASSERT_EQ(set->clips.size(), 2u);

  // The set's clip settings are every clip's defaults.
  const auto& first = set->clips[0];
  EXPECT_EQ(set->ClipPath(first), std::filesystem::path("dir") / "hello.wav");
  EXPECT_EQ(set->LabelOf(0), 1u);  // by position, counted from 1
  EXPECT_EQ(set->ClipName(0), "hello");
  ASSERT_TRUE(first.settings.trim);
  EXPECT_EQ(first.settings.trim->thresholdDbfs, -40.0);
  EXPECT_EQ(first.settings.pauseSeconds, 0.5);
  EXPECT_EQ(first.settings.level.mode, sound::LevelMode::kPeak);
  EXPECT_EQ(first.settings.channels, sound::ChannelChoice::kFirst);
  EXPECT_EQ(first.spot.line, 12);

  // A clip's own keys win, a level of another kind included.
  const auto& second = set->clips[1];
  EXPECT_EQ(set->LabelOf(1), 200u);
  EXPECT_EQ(second.labelSpot.line, 17);
  EXPECT_EQ(set->ClipName(1), "Bye");
  EXPECT_EQ(second.settings.channels, sound::ChannelChoice::kMix);
  EXPECT_FALSE(second.settings.trim);
  EXPECT_EQ(second.settings.level.mode, sound::LevelMode::kGain);
  EXPECT_EQ(second.settings.level.value, -6.5);
  EXPECT_EQ(second.settings.pauseSeconds, 0.0);
}

TEST(SetFile, AutoAndUnitAreTheDefaultsOfEncoderRateAndCapacity) {
  Diagnostics d;
  const auto set = Parse(ClipTables({"a.wav"}), d);
  ASSERT_TRUE(set) << d.Text();
  EXPECT_FALSE(set->encoder);
  EXPECT_FALSE(set->rate);
  EXPECT_EQ(set->threshold, 0u);
  EXPECT_EQ(set->clock, 12000000u);
  EXPECT_TRUE(set->capacity.unit);
  EXPECT_TRUE(set->NeedsFit());

  const auto autos = Parse(
      "encoder = \"auto\"\nrate = \"auto\"\nthreshold = \"auto\"\ncapacity = \"unit\"\n" + ClipTables({"a.wav"}), d);
  ASSERT_TRUE(autos) << d.Text();
  EXPECT_FALSE(autos->threshold);
}

TEST(SetFile, FaultsNameTheFileAndLine) {
  const std::string clips = ClipTables({"a.wav", "b.wav"});
  const struct {
    std::string text;
    int line;
    std::string says;
  } cases[] = {
      {"[[clip]]\nfile = \"a.wav\"\nlabel = 300\n", 3, "label 300 is outside 0 to 255"},
      {"[[clip]]\nfile = \"a.wav\"\nlabel = -1\n", 3, "label -1 is outside 0 to 255"},
      {"[[clip]]\nfile = \"a.wav\"\nlabel = \"one\"\n", 3, "label must be a whole number"},
      {"rate = 12345\n" + clips, 1, "rate 12345 Hz is not one a code file can name"},
      {"encoder = \"mp3\"\n" + clips, 1, "encoder must be \"tarpel\", \"vossik\" or \"auto\""},
      {"threshold = 40000\n" + clips, 1, "threshold 40000 is outside 0 to 32767"},
      {"clock = 5\n" + clips, 1, "clock 5 is outside"},
      {"capacity = \"chip\"\n" + clips, 1, "capacity must be a number of bytes or \"unit\""},
      {"lable = 3\n" + clips, 1, "unknown key \"lable\""},
      {"[[clip]]\nfile = \"a.wav\"\ngain = 3\nloudness = -20\n", 4, "both set the level"},
      {"[[clip]]\nlabel = 2\n", 1, "clip 1 has no file"},
      {"[[clip]]\nfile = \"a.wav\"\npause = 61\n", 3, "pause 61.0 is outside 0.0 to 60.0"},
      {"version = 2\n" + clips, 1, "it needs a newer velkin"},
      {"encoder = \"tarpel\n" + clips, 1, "not a valid set file"},
      {"encoder = \"tarpel\"\n", 0, "the set has no clips"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string error = OnlyError(c.text);
    const std::string where = c.line ? "dir/set.toml:" + std::to_string(c.line) + ": " : "dir/set.toml: ";
    EXPECT_EQ(error.rfind(where, 0), 0u) << error;
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
  }
}

TEST(SetFile, RefusesThe33rdClipBecauseItsCueIndexWouldRepeat) {
  std::vector<std::string> files;
  for (int i = 0; i < 33; ++i) files.push_back(std::string("c") + std::to_string(i) + ".wav");
  const std::string text = ClipTables(files);
  const std::string error = OnlyError(text);
  EXPECT_EQ(error.rfind("dir/set.toml:" + std::to_string(LineOf(text, "c32.wav") - 1) + ": ", 0), 0u) << error;
  EXPECT_NE(error.find("33 clips"), std::string::npos) << error;
  EXPECT_NE(error.find("cue index 0 again"), std::string::npos) << error;

  files.pop_back();
  Diagnostics d;
  EXPECT_TRUE(Parse(ClipTables(files), d)) << d.Text();
}

TEST(SetFile, TwoClipsWithOneLabelAreAllowedWithAWarning) {
  const std::string text = "[[clip]]\nfile = \"a.wav\"\nlabel = 5\n\n[[clip]]\nfile = \"b.wav\"\nlabel = 5\n";
  Diagnostics d;
  ASSERT_TRUE(Parse(text, d)) << d.Text();
  ASSERT_EQ(d.All().size(), 1u);
  const auto& warning = d.All()[0];
  EXPECT_EQ(warning.severity, sets::Severity::kWarning);
  EXPECT_EQ(warning.line, 7);
  EXPECT_EQ(warning.clip, 1u);
  EXPECT_NE(warning.Format().find("warning: clip 2 (b.wav) carries label 5 as clip 1 (a.wav) does"), std::string::npos)
      << warning.Format();
}

TEST(SetFile, LoudnessNeedsTheMeterThisBuildHasOrNamesTheLine) {
  const std::string text = "[[clip]]\nfile = \"a.wav\"\nloudness = -20\n";
  Diagnostics d;
  const auto set = Parse(text, d);
  if (sound::HaveLoudnessMeter()) {
    ASSERT_TRUE(set) << d.Text();
    EXPECT_EQ(set->clips[0].settings.level.mode, sound::LevelMode::kLoudness);
  } else {
    // The Windows builds: no libebur128.
    EXPECT_FALSE(set);
    EXPECT_EQ(d.FirstError().rfind("dir/set.toml:3: ", 0), 0u) << d.FirstError();
    EXPECT_NE(d.FirstError().find("give a gain or a peak target instead"), std::string::npos) << d.FirstError();
  }
}

TEST(SetFile, WrittenBackReadsAsTheSameSet) {
  const std::string text = R"(encoder = "vossik"
rate = "auto"
threshold = "auto"
capacity = 65536
[[clip]]
file = "a b/\"q\".wav"
label = 9
name = "Quote \\ and tab\t"
trim = true
trim_margin = 0.05
peak = -1.25
[[clip]]
file = "b.wav"
channels = "mix"
gain = 2
pause = 0.125
)";
  Diagnostics d;
  const auto set = Parse(text, d);
  ASSERT_TRUE(set) << d.Text();
  const std::string written = sets::WriteSetText(*set);
  const auto again = Parse(written, d);
  ASSERT_TRUE(again) << d.Text() << written;
  EXPECT_EQ(sets::WriteSetText(*again), written);
  EXPECT_EQ(again->clips[0].file, "a b/\"q\".wav");
  EXPECT_EQ(again->clips[0].name, "Quote \\ and tab\t");
  EXPECT_EQ(again->clips[0].settings.trim->marginSeconds, 0.05);
  EXPECT_EQ(again->clips[1].settings.pauseSeconds, 0.125);
  EXPECT_EQ(again->LabelOf(1), 2u);
  EXPECT_FALSE(again->rate);
  EXPECT_FALSE(again->threshold);
  EXPECT_EQ(again->encoder, sets::Encoder::kVossik);
}

}  // namespace
}  // namespace velkin::test
