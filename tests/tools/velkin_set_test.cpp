// velkin build and fit as separate programs: their text and JSON, the files they leave, the exit
// status of each bad input, the capacity from a unit's flash, and the image equal to the export's
// own output on the joined WAV.
#include <gtest/gtest.h>

#include <velkin/vossik.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/sound_sets.h"
#include "tests/tools/velkin_cli.h"

namespace velkin::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;


class VelkinSet : public ::testing::Test {
 protected:
  VelkinSet() {
    folder_.Speech("hello.wav", 0.4, 44100, 1, ClipFormat::kPcm24Stereo);
    folder_.Speech("press.wav", 0.5, 22050, 2);
    folder_.Speech("bye.wav", 0.3, 48000, 3, ClipFormat::kFloat32);
  }
  std::string Set(const std::string& head,
                  const std::vector<std::string>& clips = {"hello.wav", "press.wav", "bye.wav"}) {
    text_ = head + ClipTables(clips);
    return folder_.Set("set.toml", text_);
  }

  SetFolder folder_;
  VirtualDevices devices_;
  VelkinCli cli_{devices_};
  std::string text_;
};

TEST_F(VelkinSet, BuildWritesTheImageBesideTheJoinedWaveAndSaysEveryClip) {
  const std::string set = Set("encoder = \"vossik\"\nrate = 16000\ncapacity = 100000\n");
  const CliRun run = cli_.Run({"build", set});
  ASSERT_EQ(run.status, 0) << run.err << run.Text();
  ASSERT_EQ(run.out.size(), 8u) << run.Text();
  EXPECT_EQ(run.out[0], "set " + set + ": 3 clips, vossik at 16000 Hz, threshold 0, clock 12000000");
  const char* names[] = {"hello", "press", "bye"};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(run.out[2 + i].rfind(std::string(6 - 1, ' ') + std::to_string(i + 1) + "    " + std::to_string(i), 0) ==
                0)
        << run.out[2 + i];
    EXPECT_TRUE(Contains(run.out[2 + i], "  " + std::string(names[i]) + "  ok")) << run.out[2 + i];
  }
  const std::string image = folder_.File("set.cod");
  const std::string joined = folder_.File("set.wav");
  EXPECT_EQ(run.out[5].rfind("image " + image + ": ", 0), 0u) << run.out[5];
  EXPECT_TRUE(Contains(run.out[5], " bytes of 100000 (")) << run.out[5];
  EXPECT_EQ(run.out[6].rfind("joined sound " + joined + ": ", 0), 0u) << run.out[6];
  EXPECT_EQ(run.out[7], "check: the decoded image holds every clip as its region, with its cue index and label value");
  EXPECT_EQ(run.err, "");

  // The console's VOSSIK command on the joined WAV gives the very same image.
  const std::string again = folder_.File("again.cod");
  ASSERT_EQ(VOSSIK(again.c_str(), joined.c_str(), "12000000", "8", 0, 0, nullptr, 0), 1);
  EXPECT_EQ(ReadFileBytes(again), ReadFileBytes(image));

  // -o puts them elsewhere.
  fs::create_directories(folder_.File("out"));
  EXPECT_EQ(cli_.Run({"build", set, "-o", folder_.File("out/phrases.bin")}).status, 0);
  EXPECT_EQ(ReadFileBytes(folder_.File("out/phrases.bin")), ReadFileBytes(image));
  EXPECT_EQ(ReadFileBytes(folder_.File("out/phrases.wav")), ReadFileBytes(joined));
}

TEST_F(VelkinSet, BuildJsonGivesTheReportAndTheFitItRanFirst) {
  const std::string set = Set("encoder = \"vossik\"\nrate = \"auto\"\ncapacity = 40000\n");
  const CliRun run = cli_.Run({"build", set, "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  ASSERT_EQ(run.out.size(), 1u) << run.Text();
  const json object = json::parse(run.out[0]);
  EXPECT_EQ(object["command"], "build");
  EXPECT_EQ(object["ok"], true);
  EXPECT_TRUE(object["errors"].empty());
  const json& fit = object["fit"];
  ASSERT_EQ(fit["candidates"].size(), 6u);
  const json& choice = fit["choice"];
  const json& report = object["report"];
  EXPECT_EQ(report["settings"],
            json({{"encoder", "vossik"}, {"rate", choice["rate"]}, {"threshold", 0}, {"clock", 12000000}}));
  EXPECT_EQ(report["image_bytes"], choice["bytes"]);
  EXPECT_LE(report["image_bytes"].get<int>(), 40000);
  EXPECT_EQ(report["free_bytes"].get<int>(), 40000 - report["image_bytes"].get<int>());
  ASSERT_EQ(report["clips"].size(), 3u);
  for (const json& clip : report["clips"]) {
    EXPECT_EQ(clip["check"]["ok"], true) << clip.dump();
    EXPECT_EQ(clip["label"], clip["index"].get<int>() + 1);
    EXPECT_GT(clip["snr_db"].get<double>(), 5.0);
  }
  EXPECT_EQ(report["image"], folder_.File("set.cod"));
}

TEST_F(VelkinSet, FitShowsEveryCandidateTheChoiceAndWhy) {
  const std::string set = Set("encoder = \"auto\"\nrate = \"auto\"\nthreshold = \"auto\"\n");
  const CliRun run = cli_.Run({"fit", set, "--flash", "0x8000"});
  ASSERT_EQ(run.status, 0) << run.err;
  ASSERT_EQ(run.out.size(), 2u + 36u + 2u) << run.Text();
  EXPECT_EQ(run.out[0], "fit " + set + ": 36 candidates for a capacity of 32768 bytes (1.20 s of sound)");
  EXPECT_EQ(run.out[1], "  encoder  rate Hz  threshold      bytes  fits  score dB  worst clip");
  int chosen = 0;
  for (std::size_t i = 2; i < 38; ++i) chosen += run.out[i].rfind("* ", 0) == 0;
  EXPECT_EQ(chosen, 1);
  EXPECT_EQ(run.out[38].rfind("uncoded (the best each rate can score): 6000 Hz ", 0), 0u) << run.out[38];
  EXPECT_EQ(run.out[39].rfind("chosen: ", 0), 0u) << run.out[39];
  EXPECT_TRUE(Contains(run.out[39], "candidates that fit")) << run.out[39];
  // A fit writes nothing.
  EXPECT_FALSE(fs::exists(folder_.File("set.cod")));
}

TEST_F(VelkinSet, EachBadInputHasItsExitStatusAndNamesWhere) {
  folder_.Samples("quiet.wav", std::vector<std::int16_t>(3000, 2), 16000);
  folder_.Bytes("adpcm.wav", Riff({Chunk("fmt ", FmtBody(2, 1, 16000, 4)), Chunk("data", ByteVector(64, 0x11))}));
  std::vector<std::string> many;
  for (int i = 0; i < 33; ++i) many.push_back("hello.wav");
  const std::string fixed = "encoder = \"tarpel\"\nrate = 8000\ncapacity = 1000000\n";
  const struct {
    std::string name;
    std::string text;  // empty: no set file
    std::vector<std::string> args;
    int status;
    std::string line;  // the line named, found by this text; empty: none
    std::string says;
  } cases[] = {
      {"no set file", "", {"build"}, 2, "", "cannot be read"},
      {"label over 255",
       fixed + "[[clip]]\nfile = \"hello.wav\"\nlabel = 300\n",
       {"build"},
       2,
       "label = 300",
       "clip 1: label 300 is outside 0 to 255: a label value is one byte of the region marker"},
      {"missing clip",
       fixed + ClipTables({"hello.wav", "missing.wav"}),
       {"build"},
       2,
       "missing.wav",
       "clip 2 (missing.wav): the file does not exist"},
      {"33 clips", fixed + ClipTables(many), {"fit"}, 2, "", "cue index 0 again"},
      {"silence only",
       fixed + ClipTables({"quiet.wav"}),
       {"build"},
       2,
       "quiet.wav",
       "clip 1 (quiet.wav): is silence only"},
      {"not PCM",
       fixed + ClipTables({"adpcm.wav"}),
       {"build"},
       2,
       "adpcm.wav",
       "not PCM or float audio (format tag 2)"},
      {"too large",
       "encoder = \"tarpel\"\nrate = 8000\ncapacity = 100\n" + ClipTables({"hello.wav"}),
       {"build"},
       1,
       "capacity",
       "more than the capacity of 100: about "},
      {"nothing fits",
       "encoder = \"tarpel\"\ncapacity = 100\n" + ClipTables({"hello.wav"}),
       {"fit"},
       1,
       "",
       "nothing fits in 100 bytes"},
      {"no unit",
       "encoder = \"tarpel\"\nrate = 8000\n" + ClipTables({"hello.wav"}),
       {"build"},
       2,
       "",
       "capacity is \"unit\": name the unit"},
      {"unknown unit", fixed + ClipTables({"hello.wav"}), {"build", "--unit", "nobody"}, 1, "", "nobody"},
      {"bad option", fixed + ClipTables({"hello.wav"}), {"build", "--flash", "12", "--unit", "x"}, 2, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = folder_.File("bad.toml");
    fs::remove(path);
    if (!c.text.empty()) folder_.Set("bad.toml", c.text);
    std::vector<std::string> args = c.args;
    args.insert(args.begin() + 1, path);
    const CliRun run = cli_.Run(args);
    EXPECT_EQ(run.status, c.status) << run.err << run.Text();
    EXPECT_FALSE(fs::exists(folder_.File("bad.cod")));
    if (c.says.empty()) continue;
    const std::string where = c.line.empty() ? "" : path + ":" + std::to_string(LineOf(c.text, c.line)) + ": ";
    EXPECT_TRUE(Contains(run.err, "velkin: " + where)) << run.err;
    EXPECT_TRUE(Contains(run.err, c.says)) << run.err;

    // The same as one JSON object, for scripts.
    args.push_back("--json");
    const CliRun as_json = cli_.Run(args);
    EXPECT_EQ(as_json.status, c.status);
    ASSERT_EQ(as_json.out.size(), 1u) << as_json.Text();
    const json object = json::parse(as_json.out[0]);
    EXPECT_EQ(object["ok"], false);
    ASSERT_FALSE(object["errors"].empty());
    if (!c.line.empty()) {
      EXPECT_EQ(object["errors"][0]["line"], LineOf(c.text, c.line));
    }
  }
}

TEST_F(VelkinSet, TwoClipsWithOneLabelBuildWithAWarning) {
  const std::string set =
      Set("encoder = \"vossik\"\nrate = 8000\ncapacity = 100000\n[[clip]]\nfile = \"hello.wav\"\nlabel = 5\n"
          "[[clip]]\nfile = \"press.wav\"\nlabel = 5\n",
          {});
  const CliRun run = cli_.Run({"build", set});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(
      Contains(run.err, "velkin: " + set + ":" + std::to_string(LineOf(text_, "press.wav") + 1) + ": warning: "))
      << run.err;
  EXPECT_TRUE(Contains(run.err, "clip 2 (press.wav) carries label 5 as clip 1 (hello.wav) does")) << run.err;
}

TEST_F(VelkinSet, TheCapacityIsTheNamedUnitsFlash) {
  VirtualDeviceSetup small;
  small.flash_id[2] = 0x10;  // 64 KiB
  small.flash_size = 1 << 16;
  devices_.Create("small", small);
  devices_.Create("big");
  // About 80 KB of 12-bit samples.
  const std::string set = Set("encoder = \"tarpel\"\nrate = 44100\n");
  const CliRun big = cli_.Run({"build", set, "--unit", cli_.Name("big"), "--json"});
  ASSERT_EQ(big.status, 0) << big.err;
  EXPECT_EQ(json::parse(big.out.at(0))["report"]["capacity"], 1 << 20);
  const CliRun too_small = cli_.Run({"build", set, "--unit", cli_.Name("small")});
  EXPECT_EQ(too_small.status, 1);
  EXPECT_TRUE(Contains(too_small.err, "more than the capacity of 65536")) << too_small.err;
  // A unit named on the command line wins over the set's own capacity.
  const std::string bytes = Set("encoder = \"tarpel\"\nrate = 44100\ncapacity = 100\n");
  EXPECT_EQ(cli_.Run({"build", bytes, "--unit", cli_.Name("big")}).status, 0);
  // A flash whose size the unit does not tell.
  VirtualDeviceSetup odd;
  odd.flash_id[2] = 0x0F;
  devices_.Create("odd", odd);
  const CliRun unknown = cli_.Run({"fit", bytes, "--unit", cli_.Name("odd")});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_TRUE(Contains(unknown.err, "the size of its flash is not known")) << unknown.err;
}

}  // namespace
}  // namespace velkin::test
