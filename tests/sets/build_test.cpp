// Building sets through the library: the image is the export's own output on the joined WAV, the
// stream's regions are the clips (checked by decoding), the report adds up, the files appear
// whole or not at all, and every bad input is refused with the set file and line or the clip.
#include <gtest/gtest.h>

#include <velkin/tarpel.h>
#include <velkin/vossik.h>

#include <atomic>
#include <filesystem>
#include <system_error>

#include "formats/code_file.h"
#include "riff/riff_file.h"
#include "riff/wave_file.h"
#include "sets/build.h"
#include "tests/support/sound_sets.h"

namespace velkin::test {
namespace {

namespace fs = std::filesystem;
using sets::Failure;

class SetBuild : public ::testing::Test {
 protected:
  // Four clips in four formats, 0.4 to 0.7 s each.
  std::string FourClips(const std::string& head) {
    folder_.Speech("a.wav", 0.5, 44100, 1, ClipFormat::kPcm24Stereo);
    folder_.Speech("b.wav", 0.4, 48000, 2, ClipFormat::kFloat32);
    folder_.Speech("sub/c.wav", 0.7, 22050, 3, ClipFormat::kPcm16);
    folder_.Speech("d.wav", 0.6, 11025, 4, ClipFormat::kExtensible24);
    return head + ClipTables({"a.wav", "b.wav", "sub/c.wav", "d.wav"});
  }
  // Each read starts afresh: the diagnostics are those of this set and its build.
  std::optional<sets::SetFile> Read(const std::string& text) {
    diagnostics_ = {};
    text_ = text;
    path_ = folder_.Set("set.toml", text);
    auto set = sets::ReadSetFile(path_, diagnostics_);
    EXPECT_TRUE(set) << diagnostics_.Text();
    return set;
  }
  std::optional<sets::BuildResult> Build(const std::string& text, const std::string& image = "",
                                         const sets::RunControl& control = {}) {
    const auto set = Read(text);
    if (!set) return std::nullopt;
    sets::BuildRequest request;
    if (!image.empty()) request.image = folder_.File(image);
    failed_ = {};
    return sets::BuildSet(*set, request, control, diagnostics_, &failed_);
  }
  // The build's one error, with the failure it gave.
  std::string Refusal(const std::string& text, Failure failure, const std::string& image = "out.cod") {
    EXPECT_FALSE(Build(text, image));
    EXPECT_EQ(failed_.failure, failure);
    EXPECT_FALSE(fs::exists(folder_.File(image)));
    EXPECT_FALSE(fs::exists(sets::JoinedPathFor(folder_.File(image))));
    return diagnostics_.FirstError();
  }
  std::string Where(const std::string& needle) { return path_ + ":" + std::to_string(LineOf(text_, needle)) + ": "; }

  SetFolder folder_;
  sets::Diagnostics diagnostics_;
  sets::BuildResult failed_;
  std::string text_;
  std::string path_;
};

using Export = int32_t(VELKIN_CALL*)(const char*, const char*, const char*, const char*, int32_t, uint32_t,
                                     EncoderProgressCallback, intptr_t);

TEST_F(SetBuild, TheImageIsTheExportsOwnOutputOnTheJoinedWave) {
  const struct {
    const char* encoder;
    Export call;
    int threshold;
  } encoders[] = {{"tarpel", TARPEL, 0}, {"vossik", VOSSIK, 0}, {"vossik", VOSSIK, 64}};
  for (const auto& e : encoders) {
    SCOPED_TRACE(e.encoder);
    const auto result = Build(FourClips(std::string("encoder = \"") + e.encoder + "\"\nrate = 11025\nthreshold = " +
                                        std::to_string(e.threshold) + "\ncapacity = 1000000\n"),
                              "out.cod");
    ASSERT_TRUE(result) << diagnostics_.Text();
    const ByteVector image = ReadFileBytes(folder_.File("out.cod"));
    EXPECT_EQ(image, result->imageBytes);
    EXPECT_EQ(ReadFileBytes(folder_.File("out.wav")), result->joinedWave);
    // What the console's command would make from the joined WAV.
    const std::string again = folder_.File("again.cod");
    ASSERT_EQ(e.call(again.c_str(), folder_.File("out.wav").c_str(), "12000000", "8", 0,
                     static_cast<uint32_t>(e.threshold), nullptr, 0),
              1);
    EXPECT_EQ(ReadFileBytes(again), image);
    // Nothing else is left beside them: no partial files, no preview.
    std::size_t files = 0;
    for (const auto& entry : fs::directory_iterator(folder_.dir().path())) files += entry.is_regular_file();
    EXPECT_EQ(files, 8u);  // 3 clips here, set, out.cod, out.wav, again.cod and its preview
  }
}

TEST_F(SetBuild, TheStreamMarksEachClipWithItsCueIndexAndLabel) {
  for (const char* encoder : {"tarpel", "vossik"}) {
    SCOPED_TRACE(encoder);
    const std::string labels =
        "\n[[clip]]\nfile = \"a.wav\"\nlabel = 200\npause = 0.1\n"
        "\n[[clip]]\nfile = \"b.wav\"\nlabel = 7\n"
        "\n[[clip]]\nfile = \"sub/c.wav\"\nlabel = 0\n"
        "\n[[clip]]\nfile = \"d.wav\"\nlabel = 7\n";
    FourClips("");
    const auto result =
        Build(std::string("encoder = \"") + encoder + "\"\nrate = 16000\ncapacity = 1000000\n" + labels);
    ASSERT_TRUE(result) << diagnostics_.Text();
    std::string error;
    const auto decoded = decode::DecodeCodeFile(result->imageBytes, 12000000, error);
    ASSERT_TRUE(decoded) << error;
    const std::uint8_t expected_labels[] = {200, 7, 0, 7};
    ASSERT_EQ(decoded->marks.size(), 8u);
    const auto& report = result->report;
    for (std::size_t i = 0; i < 4; ++i) {
      const auto& start = decoded->marks[2 * i];
      const auto& end = decoded->marks[2 * i + 1];
      EXPECT_EQ(start.type, 1);
      EXPECT_EQ(end.type, 2);
      EXPECT_EQ(start.cue, i);
      EXPECT_EQ(end.cue, i);
      EXPECT_EQ(start.label, expected_labels[i]);
      EXPECT_EQ(end.label, expected_labels[i]);
      // Where the joined sound puts the clip (a segment's last sample may stay uncoded).
      const auto& clip = report.clips[i];
      EXPECT_LE(clip.start - start.at_sample, 2u * i);
      EXPECT_GE(end.at_sample - start.at_sample + 1, clip.length);
      EXPECT_TRUE(clip.check.ok) << clip.check.note;
      EXPECT_EQ(clip.check.label, expected_labels[i]);
    }
    EXPECT_GT(report.clips[1].start, report.clips[0].start + report.clips[0].length);  // the pause
    EXPECT_TRUE(report.checked);
  }
  // Clips 2 and 4 share label 7: allowed, said.
  ASSERT_EQ(diagnostics_.All().size(), 2u);
  EXPECT_EQ(diagnostics_.All()[0].severity, sets::Severity::kWarning);
}

TEST_F(SetBuild, TheJoinedWaveIsAPlainFileWithARegionPerClip) {
  const auto result = Build(FourClips("encoder = \"vossik\"\nrate = 8000\ncapacity = 1000000\n"));
  ASSERT_TRUE(result) << diagnostics_.Text();
  auto reader = riff::Reader::FromMemory(result->joinedWave);
  ASSERT_TRUE(reader);
  riff::WaveChunks chunks;
  ASSERT_EQ(riff::FindWaveChunks(*reader, chunks), riff::WaveStep::kFound);
  EXPECT_EQ(chunks.record.format.nChannels, 1);
  EXPECT_EQ(chunks.record.format.nSamplesPerSec, 8000u);
  EXPECT_EQ(chunks.record.format.wBitsPerSample, 16);
  const auto markers = riff::ReadWaveMarkers(*reader, chunks.riff);
  ASSERT_EQ(markers.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    const auto& clip = result->report.clips[i];
    EXPECT_EQ(markers[i].id, i + 1);
    EXPECT_EQ(markers[i].position, clip.start);
    EXPECT_EQ(markers[i].length, clip.length);
    EXPECT_EQ(markers[i].label, std::to_string(i + 1));
  }
}

TEST_F(SetBuild, TheReportAddsUp) {
  const auto result = Build(FourClips("encoder = \"tarpel\"\nrate = 16000\ncapacity = 200000\n"));
  ASSERT_TRUE(result) << diagnostics_.Text();
  const auto& r = result->report;
  EXPECT_EQ(r.imageBytes, result->imageBytes.size());
  EXPECT_EQ(r.freeBytes, 200000 - static_cast<std::int64_t>(r.imageBytes));
  EXPECT_TRUE(r.fits);
  std::uint64_t clip_bytes = 0, at = 0;
  double worst = 99.0;
  for (const auto& c : r.clips) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.start, at);
    at += c.length + c.pause;
    EXPECT_NEAR(c.seconds, static_cast<double>(c.length) / 16000, 1e-9);
    clip_bytes += c.codeBytes;
    EXPECT_NEAR(c.share, static_cast<double>(c.codeBytes) / 200000, 1e-12);
    // 12-bit samples: far above what 4 bits give; the score also pays for the band above 8 kHz.
    EXPECT_GT(c.coded.snrDb, 45.0);
    EXPECT_GT(c.coded.segSnrDb, 30.0);
    EXPECT_LE(c.scoreDb, c.coded.segSnrDb + 0.01);
    EXPECT_LE(c.check.maxError, 16);
    worst = std::min(worst, c.scoreDb);
  }
  EXPECT_EQ(r.samples, at);
  EXPECT_EQ(clip_bytes + r.otherBytes, r.imageBytes);
  EXPECT_EQ(r.scoreDb, worst);
  EXPECT_EQ(r.clips[0].ownRate, 44100u);
  EXPECT_EQ(r.clips[1].ownRate, 48000u);
  EXPECT_EQ(r.clips[3].ownRate, 11025u);
  EXPECT_NEAR(r.clips[2].seconds, 0.7, 0.001);
}

TEST_F(SetBuild, ARegionThatStartsASampleEarlyIsFoundAndSaid) {
  // Silence with one loud last sample: the 12-bit encoder skips the silence, is left with that
  // one sample, does not code it, and does not go back for it: the next region starts a sample
  // early. The 4-bit encoder goes back.
  std::vector<std::int16_t> tail(200, 0);
  tail.push_back(9000);
  folder_.Samples("tail.wav", tail, 16000);
  folder_.Speech("voice.wav", 0.3, 16000, 8);
  for (const char* encoder : {"tarpel", "vossik"}) {
    SCOPED_TRACE(encoder);
    const auto result = Build(std::string("encoder = \"") + encoder + "\"\nrate = 16000\ncapacity = 100000\n" +
                              ClipTables({"tail.wav", "voice.wav"}));
    ASSERT_TRUE(result) << diagnostics_.Text();
    const auto& voice = result->report.clips[1].check;
    EXPECT_TRUE(voice.ok) << voice.note;
    EXPECT_EQ(voice.shift, std::string(encoder) == "tarpel" ? 1 : 0);
    EXPECT_EQ(result->report.clips[0].check.length, 200u);  // its last sample is not coded
    if (voice.shift == 1) {
      EXPECT_NE(voice.note.find("starts 1 sample early"), std::string::npos) << voice.note;
    }
  }
}

TEST_F(SetBuild, FilesAppearOnlyWhenEverythingSucceeded) {
  folder_.Bytes("out.cod", {1, 2, 3});
  folder_.Bytes("out.wav", {4, 5, 6});
  const std::string text = FourClips("encoder = \"tarpel\"\nrate = 16000\ncapacity = 1000\n");
  EXPECT_FALSE(Build(text, "out.cod"));
  EXPECT_EQ(failed_.failure, Failure::kDoesNotFit);
  // The earlier files are as they were, and no partial file is left.
  EXPECT_EQ(ReadFileBytes(folder_.File("out.cod")), (ByteVector{1, 2, 3}));
  EXPECT_EQ(ReadFileBytes(folder_.File("out.wav")), (ByteVector{4, 5, 6}));
  for (const auto& entry : fs::directory_iterator(folder_.dir().path())) {
    EXPECT_EQ(entry.path().filename().string().find(".partial"), std::string::npos) << entry.path();
  }
  // The report says how much is too much.
  EXPECT_GT(failed_.report.imageBytes, 1000u);
  const std::string error = diagnostics_.FirstError();
  EXPECT_EQ(error.rfind(Where("capacity"), 0), 0u) << error;
  EXPECT_NE(error.find(std::to_string(failed_.report.imageBytes - 1000) + " more than the capacity of 1000"),
            std::string::npos)
      << error;
  EXPECT_NE(error.find(" s of sound must go"), std::string::npos) << error;

  // With room, the same build replaces both.
  ASSERT_TRUE(Build(FourClips("encoder = \"tarpel\"\nrate = 16000\ncapacity = 1000000\n"), "out.cod"))
      << diagnostics_.Text();
  EXPECT_GT(ReadFileBytes(folder_.File("out.cod")).size(), 1000u);
}

TEST_F(SetBuild, BadClipsAreRefusedByNameAndLine) {
  FourClips("");
  folder_.Samples("quiet.wav", std::vector<std::int16_t>(4000, 3), 16000);
  ByteVector adpcm = Riff({Chunk("fmt ", FmtBody(2, 1, 16000, 4)), Chunk("data", ByteVector(100, 0x11))});
  folder_.Bytes("adpcm.wav", adpcm);
  folder_.Bytes("junk.wav", {'n', 'o', 't', ' ', 'a', ' ', 'w', 'a', 'v'});
  const std::string head = "encoder = \"vossik\"\nrate = 16000\ncapacity = 1000000\n";
  const struct {
    std::string clip;
    std::string says;
  } cases[] = {
      {"missing.wav", "the file does not exist"},
      {"adpcm.wav", "not PCM or float audio (format tag 2)"},
      {"junk.wav", "not a WAV file"},
      {"quiet.wav", "is silence only"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.clip);
    const std::string error = Refusal(head + ClipTables({"a.wav", c.clip}), Failure::kInput);
    EXPECT_EQ(error.rfind(Where(c.clip) + "clip 2 (" + c.clip + "): ", 0), 0u) << error;
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
  }
  // A threshold that silences a clip whole refuses it at build time, naming the clip.
  folder_.Samples("soft.wav", std::vector<std::int16_t>(4000, 100), 16000);
  const std::string error = Refusal(
      "encoder = \"vossik\"\nrate = 16000\nthreshold = 200\ncapacity = 1000000\n" + ClipTables({"a.wav", "soft.wav"}),
      Failure::kInput);
  EXPECT_NE(error.find("clip 2 (soft.wav) is silence only at 16000 Hz with threshold 200"), std::string::npos) << error;
  // An image whose joined WAV would overwrite a clip.
  const ByteVector clip = ReadFileBytes(folder_.File("b.wav"));
  EXPECT_FALSE(Build(head + ClipTables({"a.wav", "b.wav"}), "b.cod"));
  EXPECT_EQ(failed_.failure, Failure::kInput);
  EXPECT_NE(diagnostics_.FirstError().find("would overwrite clip 2 (b.wav)"), std::string::npos)
      << diagnostics_.FirstError();
  EXPECT_EQ(ReadFileBytes(folder_.File("b.wav")), clip);
}

TEST_F(SetBuild, InMemoryTheBytesComeBackAndNothingIsWritten) {
  const auto result = Build(FourClips("encoder = \"vossik\"\nrate = 6000\ncapacity = \"unit\"\n"));
  EXPECT_FALSE(result);
  EXPECT_NE(diagnostics_.FirstError().find("capacity is \"unit\""), std::string::npos) << diagnostics_.FirstError();

  const auto set = Read(text_);
  ASSERT_TRUE(set);
  sets::BuildRequest request;
  request.unitFlash = 65536;
  sets::Diagnostics d;
  const auto built = sets::BuildSet(*set, request, {}, d);
  ASSERT_TRUE(built) << d.Text();
  EXPECT_EQ(built->report.capacity, 65536u);
  EXPECT_TRUE(built->report.image.empty());
  EXPECT_EQ(built->imageBytes.size(), built->report.imageBytes);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_.dir().path() / "sub"), fs::directory_iterator()), 1);
}

TEST_F(SetBuild, ProgressStopAndThreadsThatCannotStart) {
  const std::string text = FourClips("encoder = \"vossik\"\nrate = 16000\ncapacity = 1000000\n");
  const auto plain = Build(text);
  ASSERT_TRUE(plain) << diagnostics_.Text();

  // No thread can be started: the caller's does it all, to the same bytes.
  sets::RunControl lonely;
  int refused = 0;
  lonely.starter = [&](std::function<void()>) -> std::thread {
    ++refused;
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  };
  lonely.threads = 4;
  std::vector<sets::Progress> seen;
  lonely.progress = [&](const sets::Progress& p) { seen.push_back(p); };
  const auto alone = Build(text, "", lonely);
  ASSERT_TRUE(alone) << diagnostics_.Text();
  EXPECT_GT(refused, 0);
  EXPECT_EQ(alone->imageBytes, plain->imageBytes);
  // Every step reported, each rising to its end.
  for (const sets::Step step : {sets::Step::kRead, sets::Step::kPrepare, sets::Step::kEncode, sets::Step::kCheck}) {
    double last = -1.0;
    for (const auto& p : seen) {
      if (p.step != step) continue;
      EXPECT_GE(p.fraction, last) << sets::StepName(step);
      last = p.fraction;
    }
    EXPECT_EQ(last, 1.0) << sets::StepName(step);
  }

  std::atomic<bool> stop{true};
  sets::RunControl stopped;
  stopped.cancel = &stop;
  EXPECT_FALSE(Build(text, "out.cod", stopped));
  EXPECT_EQ(failed_.failure, Failure::kStopped);
  EXPECT_FALSE(fs::exists(folder_.File("out.cod")));
}

}  // namespace
}  // namespace velkin::test
