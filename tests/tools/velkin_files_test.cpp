// velkin's file commands as a separate program: info on WAV and code files, encode (byte for byte
// what the console and the encoders' exports make), convert and decode; text and JSON answers,
// exit statuses and bad input.
#include <gtest/gtest.h>

#include <velkin/tarpel.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/program_paths.h"
#include "tests/support/wav_builder.h"
#include "tests/tools/velkin_cli.h"

namespace velkin::test {
namespace {

using nlohmann::json;
using Lines = std::vector<std::string>;
using Samples = std::vector<std::int16_t>;


// Half a second of speech at `rate` with two labelled regions (cue 1: "12", cue 2: "7"), as an
// editor writes them; 16-bit, or 24-bit with the same values in the top bits.
ByteVector SpeechWithRegions(std::uint32_t rate, std::uint16_t channels = 1, std::uint16_t bits = 16) {
  const std::size_t frames = rate / 2;
  const Samples speech = SpeechLike(frames * channels, 3, rate);
  ByteVector data = SampleBytes(speech);
  if (bits == 24) {
    data.clear();
    for (const std::int16_t s : speech) {
      PutU8(data, 0);
      PutU16(data, static_cast<std::uint16_t>(s));
    }
  }
  const std::uint32_t a = rate / 10;
  const std::uint32_t b = rate / 4;
  return Riff({PcmFmt(rate, channels, bits), Chunk("data", data), Chunk("cue ", CueBody({a, b})),
               Chunk("LIST", AdtlBody({LtxtChunk(1, rate / 10), LablChunk(1, "12"), LtxtChunk(2, rate / 5),
                                       LablChunk(2, "7 seven")}))});
}

class VelkinFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    // The console names resampled copies after the path up to its first ".".
    ASSERT_EQ(std::filesystem::path(cli_.File("x")).parent_path().string().find('.'), std::string::npos);
  }
  std::string Write(const std::string& name, const ByteVector& bytes) { return cli_.WriteFile(name, bytes); }
  std::string File(const std::string& name) const { return cli_.File(name); }
  // The console's answer to one command line, up to its prompt.
  Lines Console(const std::string& line) {
    if (!console_) {
      console_ = ChildProcess::Start(ProgramPath("VelkinUtils"), {"QUAMIRA", "VOXA CDROM"});
      EXPECT_TRUE(console_ && console_->ReadUntilPrompt());
    }
    return console_->Command(line, std::chrono::seconds(60)).value_or(Lines{"<no prompt>"});
  }
  void TearDown() override {
    if (console_) {
      console_->CloseInput();
      console_->Wait();
    }
  }
  // The files a folder holds, by name.
  std::vector<std::string> Names(const std::string& folder) const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  VirtualDevices devices_;
  VelkinCli cli_{devices_};
  std::unique_ptr<ChildProcess> console_;
};

TEST_F(VelkinFiles, InfoShowsAWaveFilesFormatAndCuePoints) {
  const Samples stereo(2 * 22050, 100);
  const std::string path = Write(
      "cues.wav", Riff({PcmFmt(22050, 2), Chunk("data", SampleBytes(stereo)), Chunk("cue ", CueBody({2205, 11025})),
                        Chunk("LIST", AdtlBody({LtxtChunk(1, 4410), LablChunk(1, "12"), LtxtChunk(2, 0),
                                                LablChunk(2, "\x1b[2Jevil\r")}))}));
  CliRun run = cli_.Run({"info", path});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, (Lines{path + ": WAV, 16-bit PCM, 22050 Hz, 2 channels, 1.00 s (22050 frames)",
                            "  cue 1 at 0.10 s (frame 2205), region of 0.20 s (4410 frames), label \"12\"",
                            "  cue 2 at 0.50 s (frame 11025), label \"?[2Jevil?\""}));
  run = cli_.Run({"info", "--json", path});
  ASSERT_EQ(run.Json().size(), 1u);
  const json info = run.Json()[0];
  EXPECT_EQ(info["type"], "wav");
  EXPECT_EQ(info["format"], "pcm");
  EXPECT_EQ(info["rate"], 22050);
  EXPECT_EQ(info["channels"], 2);
  EXPECT_EQ(info["bits"], 16);
  EXPECT_EQ(info["frames"], 22050);
  EXPECT_EQ(info["truncated"], false);
  ASSERT_EQ(info["cues"].size(), 2u);
  EXPECT_EQ(info["cues"][0], (json{{"id", 1},
                                   {"position", 2205},
                                   {"seconds", 0.1},
                                   {"length", 4410},
                                   {"length_seconds", 0.2},
                                   {"label", "12"}}));
  EXPECT_EQ(info["cues"][1]["label"], "?[2Jevil?");

  // Extensible 24-bit with 20 valid bits; a file that ends before its data does.
  ByteVector extensible = Riff({Chunk("fmt ", ExtensibleFmtBody(1, 1, 48000, 24, 20)), Chunk("data", ByteVector(300))});
  const std::string cut =
      Write("cut.wav", Riff({PcmFmt(16000), ChunkWithSize("data", 32000 * 2, SampleBytes(Samples(8000)))}));
  run = cli_.Run({"info", Write("wide.wav", extensible), cut});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, (Lines{File("wide.wav") + ": WAV, 24-bit PCM (extensible, 20 valid bits), 48000 Hz, 1 channel, "
                                               "0.00 s (100 frames)",
                            cut + ": WAV, 16-bit PCM, 16000 Hz, 1 channel, 0.50 s (8000 frames)",
                            "  the file ends after 0.50 s of its 2.00 s"}));
  EXPECT_EQ(cli_.Run({"info", "--json", cut}).Json().at(0)["note"], "the file ends after 0.50 s of its 2.00 s");
}

TEST_F(VelkinFiles, InfoShowsACodeFilesRegionsClockAndSilences) {
  // TARPEL at 16000 Hz for a 12000000 Hz clock: two samples, a region of cue 3 with label 12 around
  // a silence record of 12 samples, then the end.
  ByteVector code = {0x10, 0x00, 0x00, 0x3B, 0x5A, 0xA3, 0x00, 0x45, 0xFF, 0x07};
  PutBytes(code, {0x06, 0x01, 0x80, 0x12, 0x3C, 0xAB});
  PutBytes(code, {0x00, 0x01, 0x23, 0x0C});
  PutBytes(code, {0x00, 0x0C, 0x40});
  PutBytes(code, {0x00, 0x02, 0x23, 0x0C});
  PutBytes(code, {0x00, 0x02, 0x3F, 0x2C});  // an end without a start
  PutBytes(code, {0xFF, 0xFF, 0xFF, 0xFF});
  const std::string path = Write("hand.cod", code);
  CliRun run = cli_.Run({"info", path});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, (Lines{path + ": code file, TARPEL, 16000 Hz, 0.00 s (14 samples), 35 bytes",
                            "  clock 11968000 to 12031999 Hz", "  the header counts 16 samples",
                            "  region cue 3 label 12: 0.00 s to 0.00 s (samples 2 to 14)",
                            "  region end marker cue 31 label 44 at sample 14 has no partner",
                            "  1 silence record, 0.00 s (12 samples) in all"}));
  run = cli_.Run({"info", path, "--json"});
  const json info = run.Json().at(0);
  EXPECT_EQ(info["type"], "code");
  EXPECT_EQ(info["encoder"], "TARPEL");
  EXPECT_EQ(info["clock_min"], 11968000);
  EXPECT_EQ(info["clock_max"], 12031999);
  EXPECT_EQ(info["samples"], 14);
  EXPECT_EQ(info["header_samples"], 16);
  EXPECT_EQ(info["bytes"], 35);
  EXPECT_EQ(info["regions"], json::parse(R"([{"cue":3,"label":12,"begin":2,"end":14,"seconds":0.0,
                                              "length_seconds":0.001}])"));
  EXPECT_EQ(info["unpaired_markers"], json::parse(R"([{"type":"end","cue":31,"label":44,"at":14}])"));
  EXPECT_EQ(info["silence_records"], 1);
  EXPECT_EQ(info["silent_samples"], 12);
}

TEST_F(VelkinFiles, InfoTellsFilesByContentAndFailsOnlyTheUnreadable) {
  const std::string wav = Write("sound.cod", SimpleWav(8000, Samples(800, 5)));
  const std::string code =
      Write("code.wav", {0x01, 0x00, 0x00, 0x3B, 0x54, 0xA3, 0x00, 0x45, 0xFF, 0x07, 0x01, 0x00, 0x00});
  const std::string other = Write("notes.txt", {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '\n'});
  const std::string empty = Write("empty.wav", {});
  const std::string missing = File("missing.wav");
  const std::string slow = Write("slow.wav", SimpleWav(500, Samples(10)));
  CliRun run = cli_.Run({"info", wav, other, code, empty, missing, slow, "--json"});
  EXPECT_EQ(run.status, 1);
  const auto results = run.Json();
  ASSERT_EQ(results.size(), 6u) << run.Text();
  const auto expect = [&](std::size_t i, const std::string& file, bool ok, const std::string& what) {
    EXPECT_EQ(results[i]["file"], file);
    EXPECT_EQ(results[i]["ok"], ok) << results[i].dump();
    EXPECT_EQ(results[i].value(ok ? "type" : "message", ""), what) << results[i].dump();
  };
  expect(0, wav, true, "wav");
  expect(1, other, false, "neither a WAV file nor a code file");
  expect(2, code, true, "code");
  expect(3, empty, false, "the file is empty");
  expect(4, missing, false, "the file does not exist");
  expect(5, slow, false, "the sample rate 500 Hz is outside 1000 to 384000 Hz");
  EXPECT_EQ(results[2]["encoder"], "VOSSIK");

  // In text, the readable files on standard output, each failure on standard error.
  run = cli_.Run({"info", wav, missing, code});
  EXPECT_EQ(run.status, 1);
  ASSERT_EQ(run.out.size(), 5u) << run.Text();
  EXPECT_TRUE(run.out[0].rfind(wav + ": WAV, ", 0) == 0) << run.out[0];
  EXPECT_TRUE(run.out[1].rfind(code + ": code file, VOSSIK, 16000 Hz", 0) == 0) << run.out[1];
  EXPECT_EQ(run.err, "velkin: " + missing + ": the file does not exist\n");
  EXPECT_EQ(cli_.Run({"info"}).status, 2);
}

#ifndef _WIN32
bool HasControlCharacters(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u < 0x20 && c != '\n') || u == 0x7F;
  });
}

TEST_F(VelkinFiles, NamesFromFilesReachTheTerminalWithoutControlCharacters) {
  // Windows allows no control characters in file names.
  const std::string path = Write("a\x1b]0;owned\x07name.wav", SimpleWav(8000, Samples(80)));
  CliRun run = cli_.Run({"info", path, File("b\x1b[31m.wav")});
  EXPECT_EQ(run.status, 1);
  EXPECT_FALSE(HasControlCharacters(run.Text())) << run.Text();
  EXPECT_FALSE(HasControlCharacters(run.err)) << run.err;
  EXPECT_TRUE(Contains(run.Text(), "a?]0;owned?name.wav: WAV")) << run.Text();
}
#endif

// The console's TARPEL and VOSSIK commands and velkin encode on the same files give the same code
// files: a source already 16-bit mono at 16000 Hz with regions, one the console resamples first,
// and a stereo one the console makes one channel of with MONO first.
TEST_F(VelkinFiles, EncodeGivesTheConsolesBytes) {
  const std::string regions = Write("regions.wav", SpeechWithRegions(16000));
  const std::string fast = Write("fast.wav", SimpleWav(22050, SpeechLike(11025, 4, 22050)));
  const std::string stereo = Write("stereo.wav", SimpleWav(22050, SpeechLike(2 * 11025, 5, 22050), 2));
  ASSERT_EQ(Console("MONO \"" + stereo + "\" \"" + File("left.wav") + "\"").back().at(0), '+');
  const struct Case {
    std::string source;   // for velkin
    std::string console;  // the console's command, up to the destination
    std::string third;    // its third argument: resample first
  } cases[] = {{regions, regions, ""}, {fast, fast, " \"22050\""}, {stereo, File("left.wav"), " \"22050\""}};
  for (const Case& c : cases) {
    for (const std::string word : {"TARPEL", "VOSSIK"}) {
      SCOPED_TRACE(c.source + " " + word);
      const std::string ours = c.source + (word == "TARPEL" ? ".ours.tpl" : ".ours.vsk");
      const std::string theirs = c.source + ".console.cod";
      const Lines answer = Console(word + " \"" + c.console + "\" \"" + theirs + "\"" + c.third);
      ASSERT_EQ(answer.back().at(0), '+') << answer.back();
      const CliRun run =
          cli_.Run({"encode", word == "TARPEL" ? "--tarpel" : "--vossik", c.source, "-o", ours, "--json"});
      ASSERT_EQ(run.status, 0) << run.err;
      const auto bytes = ReadFileBytes(ours);
      EXPECT_EQ(bytes, ReadFileBytes(theirs));
      const json result = run.Json().at(0);
      EXPECT_EQ(result["output"], ours);
      EXPECT_EQ(result["bytes"], bytes.size());
      EXPECT_EQ(result["rate"], 16000);
      EXPECT_EQ(result["regions"], c.source == regions ? 2 : 0);
      const double bits = 8.0 * static_cast<double>(bytes.size()) / result["samples"].get<double>();
      EXPECT_NEAR(result["bits_per_sample"].get<double>(), bits, 0.001);
      // Against the prepared sound: 12-bit PCM is all but exact, ADPCM clearly coarser but close.
      const double snr = result["snr_db"].get<double>();
      if (word == "TARPEL") {
        EXPECT_GT(snr, 50.0);
      } else {
        EXPECT_GT(snr, 12.0);
        EXPECT_LT(snr, 50.0);
      }
    }
  }
}

// What the console cannot ask for, threshold and clock, gives what the export gives; and a source
// velkin writes anew (24-bit to 16) carries its regions into the export as the original does.
TEST_F(VelkinFiles, EncodeWithThresholdAndClockGivesTheExportsBytes) {
  const std::string source = Write("quiet.wav", SpeechWithRegions(16000));
  const std::string theirs = File("export.cod");
  ASSERT_EQ(TARPEL(theirs.c_str(), source.c_str(), "3580000", "8", 0, 900, nullptr, 0), 1);
  const std::string ours = File("ours.tpl");
  const CliRun run = cli_.Run({"encode", "--tarpel", Write("wide.wav", SpeechWithRegions(16000, 1, 24)), "-o", ours,
                               "--clock", "3580000", "--threshold", "900"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFileBytes(ours), ReadFileBytes(theirs));
  const json info = cli_.Run({"info", ours, "--json"}).Json().at(0);
  EXPECT_EQ(info["clock_min"], 3580000);
  EXPECT_EQ(info["clock_max"], 3580000);
  EXPECT_GT(info["silence_records"].get<int>(), 0);
}

TEST_F(VelkinFiles, EncodeNamesItsOutputAfterTheInputAndReplacesItWhole) {
  const std::string source = Write("prompt.wav", SpeechWithRegions(44100, 2));
  CliRun run = cli_.Run({"encode", "--vossik", source});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string code = File("prompt.vsk");
  ASSERT_EQ(run.out.size(), 2u) << run.Text();
  const std::string head =
      code + ": VOSSIK, 16000 Hz, 0.50 s (8000 samples), " + std::to_string(ReadFileBytes(code).size()) + " bytes, ";
  EXPECT_EQ(run.out[0].substr(0, head.size()), head) << run.out[0];
  EXPECT_TRUE(Contains(run.out[0], " bits per sample, SNR ")) << run.out[0];
  EXPECT_EQ(run.out[1], "  from " + source + " (44100 Hz, 2 channels), its first channel, 2 regions");
  // The code file's regions are the source's cue points: cue index and label value.
  const json info = cli_.Run({"info", code, "--json"}).Json().at(0);
  ASSERT_EQ(info["regions"].size(), 2u);
  EXPECT_EQ(info["regions"][0]["cue"], 0);
  EXPECT_EQ(info["regions"][0]["label"], 12);
  // (The ADPCM encoder's segments may end a sample or two early.)
  EXPECT_NEAR(info["regions"][0]["begin"].get<double>(), 1600, 2);
  EXPECT_NEAR(info["regions"][0]["end"].get<double>(), 3200, 3);
  EXPECT_EQ(info["regions"][1]["cue"], 1);
  EXPECT_EQ(info["regions"][1]["label"], 7);

  // Encoded again over it: replaced, and nothing else is left beside it.
  WriteFileBytes(code, {1, 2, 3});
  ASSERT_EQ(cli_.Run({"encode", "--tarpel", source, "-o", code}).status, 0);
  EXPECT_EQ(cli_.Run({"info", code, "--json"}).Json().at(0)["encoder"], "TARPEL");
  EXPECT_EQ(cli_.Run({"encode", "--tarpel", source}).status, 0);
  EXPECT_EQ(Names(std::filesystem::path(source).parent_path().string()),
            (std::vector<std::string>{"prompt.tpl", "prompt.vsk", "prompt.wav", "stderr.txt"}));
}

TEST_F(VelkinFiles, EncodeRefusesBadInputBeforeAnyWork) {
  const std::string good = Write("good.wav", SimpleWav(16000, SpeechLike(1600, 1)));
  // A header that claims a 17-minute sound at 16000 Hz: more than a code file's 24-bit count.
  ByteVector longer = Riff({PcmFmt(16000), ChunkWithSize("data", 2 * 16800000, {})});
  longer.resize(longer.size() + 2 * 16800000);
  const std::string too_long = Write("long.wav", longer);
  const struct Case {
    std::vector<std::string> args;
    std::string error;  // a part of the message
  } cases[] = {
      {{"--vossik", File("absent.wav")}, "absent.wav: the file does not exist"},
      {{"--vossik", Write("text.wav", {'n', 'o', 'p', 'e'})}, "not a WAV file"},
      {{"--vossik", Write("slow.wav", SimpleWav(500, Samples(10)))},
       "the sample rate 500 Hz is outside 1000 to 384000 Hz"},
      {{"--vossik", good, "--rate", "500"}, "the rate 500 Hz is outside 1000 to 384000 Hz"},
      {{"--vossik", good, "--clock", "5"}, "the clock 5 Hz is outside 1000000 to 100000000 Hz"},
      {{"--vossik", good, "--threshold", "40000"}, "the threshold 40000 is outside 0 to 32767"},
      {{"--tarpel", "--vossik", good}, "excludes"},
      {{good}, "--tarpel or --vossik"},
      {{"--vossik", good, "-o", File("no/such/folder/x.vsk")}, "x.vsk: cannot be written"},
      {{"--vossik", good, "-o", good}, "would replace its own source"},
      {{"--tarpel", too_long}, "16800000 samples at 16000 Hz, and a code file counts at most 16777215"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"encode"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const CliRun run = cli_.Run(args);
    EXPECT_EQ(run.status, 2) << c.error;
    EXPECT_TRUE(Contains(run.err, c.error)) << run.err;
    EXPECT_TRUE(run.out.empty());
  }
  EXPECT_FALSE(std::filesystem::exists(File("good.vsk")));
  EXPECT_FALSE(std::filesystem::exists(File("long.tpl")));
}

TEST_F(VelkinFiles, ConvertKeepsEveryChannelAndMovesTheCuePoints) {
  const std::string source = Write("music.wav", SpeechWithRegions(44100, 2));
  const std::string out = File("music16.wav");
  CliRun run = cli_.Run({"convert", source, out, "--rate", "16000"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, Lines{out + ": 16000 Hz, 2 channels, 16-bit PCM, 0.50 s (8000 frames), from 44100 Hz 16-bit PCM"});
  const json info = cli_.Run({"info", out, "--json"}).Json().at(0);
  EXPECT_EQ(info["channels"], 2);
  EXPECT_EQ(info["rate"], 16000);
  EXPECT_EQ(info["frames"], 8000);
  ASSERT_EQ(info["cues"].size(), 2u);
  EXPECT_EQ(info["cues"][0]["position"], 1600);
  EXPECT_EQ(info["cues"][0]["length"], 1600);
  EXPECT_EQ(info["cues"][1]["label"], "7 seven");

  run = cli_.Run({"convert", source, out, "--rate", "8000", "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.Json().at(0)["frames"], 4000);
  EXPECT_EQ(cli_.Run({"info", out, "--json"}).Json().at(0)["rate"], 8000);

  EXPECT_EQ(cli_.Run({"convert", source, out}).status, 2);  // no --rate
  run = cli_.Run({"convert", source, out, "--rate", "400000"});
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(Contains(run.err, "the rate 400000 Hz is outside 1000 to 384000 Hz")) << run.err;
  run = cli_.Run({"convert", Write("bad.wav", {'R', 'I', 'F', 'F'}), File("bad16.wav"), "--rate", "8000"});
  EXPECT_EQ(run.status, 2);
  EXPECT_FALSE(std::filesystem::exists(File("bad16.wav")));
}

TEST_F(VelkinFiles, DecodeWritesTheWholeSoundOrOneFilePerRegion) {
  const std::string source = Write("prompt.wav", SpeechWithRegions(16000));
  ASSERT_EQ(cli_.Run({"encode", "--tarpel", source}).status, 0);
  const std::string code = File("prompt.tpl");

  CliRun run = cli_.Run({"decode", code});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string whole = code + ".wav";
  EXPECT_EQ(run.out, Lines{whole + ": 16000 Hz, 0.50 s (8000 samples), from TARPEL, 2 regions"});
  const json wav = cli_.Run({"info", whole, "--json"}).Json().at(0);
  EXPECT_EQ(wav["frames"], 8000);
  ASSERT_EQ(wav["cues"].size(), 2u);
  EXPECT_EQ(wav["cues"][0]["position"], 1600);
  EXPECT_EQ(wav["cues"][0]["length"], 1600);
  EXPECT_EQ(wav["cues"][0]["label"], "12");

  run = cli_.Run({"decode", code, "--split", "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto pieces = run.Json();
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0]["output"], File("prompt-r00-l12.wav"));
  EXPECT_EQ(pieces[0]["region"], (json{{"cue", 0}, {"label", 12}, {"begin", 1600}, {"end", 3200}}));
  EXPECT_EQ(pieces[1]["output"], File("prompt-r01-l07.wav"));
  EXPECT_EQ(pieces[1]["region"], (json{{"cue", 1}, {"label", 7}, {"begin", 4000}, {"end", 7200}}));
  EXPECT_EQ(cli_.Run({"info", File("prompt-r01-l07.wav"), "--json"}).Json().at(0)["frames"], 3200);
  run = cli_.Run({"decode", code, "--split", "-o", File("out.wav")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.at(0), File("out-r00-l12.wav") +
                               ": 16000 Hz, 0.10 s (1600 samples), region cue 0 label 12 (samples 1600 to 3200)");

  // Bad input: a WAV, a damaged code file, a code file without regions to split at.
  run = cli_.Run({"decode", source});
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(Contains(run.err, "a WAV file, not a code file")) << run.err;
  auto damaged = ReadFileBytes(code);
  damaged.resize(damaged.size() - 2);
  run = cli_.Run({"decode", Write("damaged.tpl", damaged)});
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(Contains(run.err, "damaged.tpl: not a code file that can be read: ")) << run.err;
  EXPECT_FALSE(std::filesystem::exists(File("damaged.tpl.wav")));
  ASSERT_EQ(cli_.Run({"encode", "--tarpel", Write("plain.wav", SimpleWav(16000, SpeechLike(1600, 2)))}).status, 0);
  run = cli_.Run({"decode", File("plain.tpl"), "--split"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Contains(run.err, "no regions to split it at")) << run.err;
}

}  // namespace
}  // namespace velkin::test
