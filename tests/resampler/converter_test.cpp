// ZOLT_WaveConverter through the Sondrel library as built: generated WAV files in, the exact bytes
// of the file it must write out, and every failure it must report as 0 without leaving a file.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "reference_resampler.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wav_builder.h"
#include "velkin/sondrel.h"

namespace velkin::test {
namespace {

using Samples = std::vector<std::int16_t>;

// Where the converter's file-error messages can be seen: standard error on this platform, or the
// debugger's channel (Windows), which a test cannot read.
constexpr bool kDebugOutputOnStderr = VELKIN_TEST_DEBUG_OUTPUT_ON_STDERR;

// What the converter must compute: the reference resampler over the whole input, with the factor
// and the output count formed from the two float rates in double precision.
Samples Resampled(const Samples& input, float inRate, float outRate) {
  const auto m = static_cast<std::int32_t>(
      std::trunc(static_cast<double>(input.size()) * static_cast<double>(outRate) / static_cast<double>(inRate)));
  ReferenceResampler r(true, false, true);
  r.configure(static_cast<double>(outRate) / static_cast<double>(inRate), 1, 1.0);
  Samples out(static_cast<std::size_t>(m));
  auto n = static_cast<std::int32_t>(input.size());
  EXPECT_EQ(r.run(n, m, input.data(), out.data()), m);
  return out;
}

// The file the converter writes for a record without extension.
ByteVector PlainOutput(std::uint16_t channels, std::uint32_t rate, std::uint16_t bits, const Samples& samples) {
  return Riff({Chunk("fmt ", FmtBody(1, channels, rate, bits)), Chunk("data", SampleBytes(samples))});
}

struct Result {
  std::int32_t value;
  std::string out;  // what reached standard output
  std::string err;  // what reached standard error
};

class WaveConverter : public ::testing::Test {
 protected:
  std::string In() const { return dir_.File("in.wav"); }
  std::string Out() const { return dir_.File("out.wav"); }
  bool OutputExists() const { return std::filesystem::exists(Out()); }

  Result Convert(const ByteVector& input, float rate) {
    WriteFileBytes(In(), input);
    return ConvertPaths(In().c_str(), Out().c_str(), rate);
  }
  static Result ConvertPaths(const char* in, const char* out, float rate) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const std::int32_t value = ZOLT_WaveConverter(in, out, rate);
    std::string o = testing::internal::GetCapturedStdout();
    return {value, o, testing::internal::GetCapturedStderr()};
  }
  // A failure: 0, nothing on standard output, the message on the debugger channel, no file.
  void ExpectFailure(const Result& r, const char* message) {
    EXPECT_EQ(r.value, 0);
    EXPECT_EQ(r.out, "");
    if (kDebugOutputOnStderr) {
      EXPECT_EQ(r.err, message);
    }
    EXPECT_FALSE(OutputExists());
  }

  TempDir dir_;
};

// ---- Output bytes ---------------------------------------------------------------------------------

TEST_F(WaveConverter, WritesExactlyTheDefinedBytesForRatesFrom8000To48000) {
  // Each file replaces the one before it, some of which are longer.
  const struct {
    float in, out;
  } pairs[] = {{44100, 16000}, {48000, 16000}, {32000, 16000}, {22050, 16000}, {11025, 16000},
               {8000, 16000},  {16000, 8000},  {44100, 48000}, {8000, 44100},  {48000, 11025}};
  for (const auto& p : pairs) {
    SCOPED_TRACE(std::to_string(p.in) + " -> " + std::to_string(p.out));
    const Samples input = Noise(static_cast<std::size_t>(p.in / 4) + 7, static_cast<std::uint32_t>(p.in), 20000);
    const Result r = Convert(SimpleWav(static_cast<std::uint32_t>(p.in), input), p.out);
    ASSERT_EQ(r.value, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    const ByteVector want = PlainOutput(1, static_cast<std::uint32_t>(p.out), 16, Resampled(input, p.in, p.out));
    ASSERT_EQ(ReadFileBytes(Out()), want);
  }
}

TEST_F(WaveConverter, TenSecondsAt44100Become160000SamplesAt16000) {
  const Samples input = Sine(441000, 997, 44100, 24000);
  ASSERT_EQ(Convert(SimpleWav(44100, input), 16000.0f).value, 1);
  const ByteVector file = ReadFileBytes(Out());
  ASSERT_EQ(file.size(), 44u + 320000u);
  EXPECT_EQ(GetU32(file, 4), file.size() - 8);
  EXPECT_EQ(GetU32(file, 16), 16u);      // fmt size
  EXPECT_EQ(GetU16(file, 22), 1u);       // nChannels
  EXPECT_EQ(GetU32(file, 24), 16000u);   // nSamplesPerSec
  EXPECT_EQ(GetU32(file, 28), 32000u);   // nAvgBytesPerSec
  EXPECT_EQ(GetU16(file, 32), 2u);       // nBlockAlign
  EXPECT_EQ(GetU32(file, 40), 320000u);  // data size
  EXPECT_EQ(file, PlainOutput(1, 16000, 16, Resampled(input, 44100, 16000)));
}

TEST_F(WaveConverter, StereoIsResampledAsOneInterleavedStream) {
  const Samples interleaved = Noise(6000, 99, 15000);  // 3000 frames
  ASSERT_EQ(Convert(SimpleWav(22050, interleaved, 2), 16000.0f).value, 1);
  const ByteVector file = ReadFileBytes(Out());
  EXPECT_EQ(file, PlainOutput(2, 16000, 16, Resampled(interleaved, 22050, 16000)));
  EXPECT_EQ(GetU16(file, 32), 4u);      // nBlockAlign = 2 * 16 / 8
  EXPECT_EQ(GetU32(file, 28), 64000u);  // nAvgBytesPerSec
}

TEST_F(WaveConverter, FormatFieldsAreRecomputedFromTheRecordAsRead) {
  // 8-bit samples are still taken as 16-bit pairs; the record keeps its tag and width.
  const Samples input = Noise(3001, 4, 9000);
  const ByteVector in = Riff({Chunk("fmt ", FmtBody(1, 1, 11025, 8)), Chunk("data", SampleBytes(input))});
  ASSERT_EQ(Convert(in, 16000.0f).value, 1);
  EXPECT_EQ(ReadFileBytes(Out()), PlainOutput(1, 16000, 8, Resampled(input, 11025, 16000)));
  // A rate with a fraction: the field gets its integer part, the count and factor use the float.
  ASSERT_EQ(Convert(SimpleWav(44100, input), 16000.75f).value, 1);
  EXPECT_EQ(ReadFileBytes(Out()), PlainOutput(1, 16000, 16, Resampled(input, 44100, 16000.75f)));
}

TEST_F(WaveConverter, SixteenAndEighteenByteFormatChunksGiveTheSameFile) {
  const Samples input = Noise(5000, 8, 12000);
  const ByteVector want = PlainOutput(1, 16000, 16, Resampled(input, 32000, 16000));
  ASSERT_EQ(Convert(SimpleWav(32000, input), 16000.0f).value, 1);
  EXPECT_EQ(ReadFileBytes(Out()), want);
  const ByteVector eighteen =
      Riff({Chunk("fmt ", FmtBody(1, 1, 32000, 16, true, 0)), Chunk("data", SampleBytes(input))});
  ASSERT_EQ(Convert(eighteen, 16000.0f).value, 1);
  EXPECT_EQ(ReadFileBytes(Out()), want);
}

TEST_F(WaveConverter, OtherChunksOddSizesAndPadBytesAreWalkedOver) {
  const Samples input = Noise(4000, 12, 12000);
  ByteVector data = SampleBytes(input);
  data.push_back(0x7F);  // odd-sized data: the last byte is not a sample
  const ByteVector in = Riff({Chunk("junk", ByteVector(5, 0xEE)), PcmFmt(44100),
                              Chunk("LIST", AdtlBody({LablChunk(1, "odd")})), Chunk("data", data)});
  ASSERT_EQ(Convert(in, 16000.0f).value, 1);
  EXPECT_EQ(ReadFileBytes(Out()), PlainOutput(1, 16000, 16, Resampled(input, 44100, 16000)));
}

TEST_F(WaveConverter, EmptyDataGivesAFileWithAnEmptyDataChunk) {
  ASSERT_EQ(Convert(SimpleWav(44100, {}), 16000.0f).value, 1);
  EXPECT_EQ(ReadFileBytes(Out()), PlainOutput(1, 16000, 16, {}));
  EXPECT_EQ(ReadFileBytes(Out()).size(), 44u);
}

TEST_F(WaveConverter, EqualRatesGiveZeroAndNoFile) {
  const Result r = Convert(SimpleWav(16000, Noise(1000, 1, 100)), 16000.0f);
  EXPECT_EQ(r.value, 0);
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_FALSE(OutputExists());
}

// ---- File errors ---------------------------------------------------------------------------------

TEST_F(WaveConverter, FileErrorsGoToTheDebuggerChannelAndWriteNothing) {
  const Samples s = Noise(500, 2, 100);
  ExpectFailure(ConvertPaths(dir_.File("missing.wav").c_str(), Out().c_str(), 16000.0f), "Open wave file failed !\n");
  ExpectFailure(Convert(ByteVector{'n', 'o', 't', ' ', 'a', ' ', 'w', 'a', 'v', 'e'}, 16000.0f),
                "Error descending into file !\n");
  ExpectFailure(Convert(Riff({PcmFmt(44100), Chunk("data", SampleBytes(s))}, "AVI "), 16000.0f),
                "Error descending into file !\n");
  ExpectFailure(Convert(Riff({Chunk("data", SampleBytes(s))}), 16000.0f), "Error descending in wave file !\n");
  ExpectFailure(Convert(Riff({PcmFmt(44100)}), 16000.0f), "error reading data chunk !\n");
  // Chunks are searched forward from the end of "fmt ": a "data" chunk before it is not found.
  ExpectFailure(Convert(Riff({Chunk("data", SampleBytes(s)), PcmFmt(44100)}), 16000.0f),
                "error reading data chunk !\n");
  // A "data" chunk outside the RIFF chunk does not count either.
  ByteVector outside = Riff({PcmFmt(44100)});
  PutBytes(outside, Chunk("data", SampleBytes(s)));
  ExpectFailure(Convert(outside, 16000.0f), "error reading data chunk !\n");
  // The output cannot be created.
  WriteFileBytes(In(), SimpleWav(44100, s));
  const std::string nowhere = dir_.File("no-such-folder/out.wav");
  const Result r = ConvertPaths(In().c_str(), nowhere.c_str(), 16000.0f);
  EXPECT_EQ(r.value, 0);
  if (kDebugOutputOnStderr) {
    EXPECT_EQ(r.err, "Open wave file failed !\n");
  }
  EXPECT_EQ(r.out, "");
}

TEST_F(WaveConverter, MissingPathsGiveZeroWithoutAMessage) {
  WriteFileBytes(In(), SimpleWav(44100, Noise(500, 2, 100)));
  const std::string in = In();
  const std::pair<const char*, const char*> cases[] = {
      {nullptr, "x.wav"}, {"", "x.wav"}, {in.c_str(), nullptr}, {in.c_str(), ""}};
  for (const auto& [input, output] : cases) {
    const Result r = ConvertPaths(input, output, 16000.0f);
    EXPECT_EQ(r.value, 0);
    EXPECT_EQ(r.out + r.err, "");
  }
  EXPECT_FALSE(std::filesystem::exists("x.wav"));
}

// ---- Mended faults --------------------------------------------------------------------------------

TEST_F(WaveConverter, ARunThatStopsShortIsAFailureNotAFile) {
  // One input sample: the resampler stops before its first pass, so none of the two output
  // samples would be computed.
  Result r = Convert(SimpleWav(8000, {1234}), 16000.0f);
  EXPECT_EQ(r.value, 0);
  EXPECT_FALSE(OutputExists());
  // A factor the resampler refuses: its message on standard output, and no file.
  r = Convert(SimpleWav(44100, Noise(5000, 1, 100)), 100.0f);
  EXPECT_EQ(r.value, 0);
  EXPECT_EQ(r.out, "resample: IBUFFSIZE (or factor) is too small \n\n");
  EXPECT_FALSE(OutputExists());
}

TEST_F(WaveConverter, ReachesBetween257And2048AreRefusedInsteadOfOverrunningTheBlock) {
  // 44100 -> 4000: R = trunc(33 * 11.025 + 10) = 373, accepted by a 2R <= 4096 check alone.
  // 44100 -> 714.9: R = 2048, which never finished.
  for (const float rate : {4000.0f, 714.9f}) {
    const Result r = Convert(SimpleWav(44100, Noise(20000, 1, 3000)), rate);
    EXPECT_EQ(r.value, 0) << rate;
    EXPECT_EQ(r.out, "resample: IBUFFSIZE (or factor) is too small \n\n");
    EXPECT_FALSE(OutputExists());
  }
}

TEST_F(WaveConverter, ALongFormatChunkNeitherOverflowsNorLeaksIntoTheOutput) {
  const Samples input = Noise(3000, 6, 8000);
  const Samples resampled = Resampled(input, 22050, 16000);
  // 60-byte chunk, cbSize 0, then 42 bytes that belong to no record.
  ByteVector in =
      Riff({Chunk("fmt ", FmtBody(1, 1, 22050, 16, true, 0, ByteVector(42, 0xC3))), Chunk("data", SampleBytes(input))});
  ASSERT_EQ(Convert(in, 16000.0f).value, 1);
  EXPECT_EQ(ReadFileBytes(Out()), PlainOutput(1, 16000, 16, resampled));
  // cbSize promises 100 bytes, the chunk holds 2 of them: the output says 2 and carries them.
  in = Riff({Chunk("fmt ", FmtBody(1, 1, 22050, 16, true, 100, {0x11, 0x22})), Chunk("data", SampleBytes(input))});
  ASSERT_EQ(Convert(in, 16000.0f).value, 1);
  EXPECT_EQ(ReadFileBytes(Out()), Riff({Chunk("fmt ", FmtBody(1, 1, 16000, 16, true, 2, {0x11, 0x22})),
                                        Chunk("data", SampleBytes(resampled))}));
  // cbSize 2 in a chunk that ends with it: nothing follows, so a plain record is written.
  in = Riff({Chunk("fmt ", FmtBody(1, 1, 22050, 16, true, 2)), Chunk("data", SampleBytes(input))});
  ASSERT_EQ(Convert(in, 16000.0f).value, 1);
  EXPECT_EQ(ReadFileBytes(Out()), PlainOutput(1, 16000, 16, resampled));
}

// The extensible record of a 16-bit mono file: valid bits, channel mask, PCM sub-format.
ByteVector ExtensibleFmt(std::uint32_t rate) {
  ByteVector ext;
  PutU16(ext, 16);
  PutU32(ext, 0x4);
  const std::uint8_t pcm[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  ext.insert(ext.end(), pcm, pcm + 16);
  return Chunk("fmt ", FmtBody(0xFFFE, 1, rate, 16, true, 22, ext));
}

std::optional<std::string> FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (!path || !kDebugOutputOnStderr) return std::nullopt;  // only where the tools are POSIX ones
  std::string all(path);
  for (std::size_t at = 0; at <= all.size();) {
    const std::size_t end = std::min(all.find(':', at), all.size());
    const std::filesystem::path candidate = std::filesystem::path(all.substr(at, end - at)) / name;
    if (end > at && std::filesystem::exists(candidate)) return candidate.string();
    at = end + 1;
  }
  return std::nullopt;
}

TEST_F(WaveConverter, AnExtensibleRecordKeepsItsExtension) {
  const Samples input = Noise(4410, 17, 20000);
  const Samples resampled = Resampled(input, 44100, 16000);
  ASSERT_EQ(Convert(Riff({ExtensibleFmt(44100), Chunk("data", SampleBytes(input))}), 16000.0f).value, 1);
  EXPECT_EQ(ReadFileBytes(Out()), Riff({ExtensibleFmt(16000), Chunk("data", SampleBytes(resampled))}));
}

TEST_F(WaveConverter, SoxReadsTheOutputsOfUnusualFormatChunksBack) {
  const auto sox = FindOnPath("sox");
  if (!sox) GTEST_SKIP() << "sox is not available here";
  const Samples input = Noise(4410, 17, 20000);
  const Samples resampled = Resampled(input, 44100, 16000);
  const ByteVector inputs[] = {
      Riff({ExtensibleFmt(44100), Chunk("data", SampleBytes(input))}),
      Riff({Chunk("fmt ", FmtBody(1, 1, 44100, 16, true, 0, ByteVector(42, 0xC3))), Chunk("data", SampleBytes(input))}),
      Riff({Chunk("fmt ", FmtBody(1, 1, 44100, 16, true, 2)), Chunk("data", SampleBytes(input))}),
  };
  for (const auto& in : inputs) {
    ASSERT_EQ(Convert(in, 16000.0f).value, 1);
    const std::string raw = dir_.File("out.raw");
    auto child = ChildProcess::Start(*sox, {Out(), "-t", "raw", "-e", "signed-integer", "-b", "16", "-L", raw});
    ASSERT_TRUE(child);
    child->ReadAllLines();
    ASSERT_EQ(child->Wait(), 0);
    EXPECT_EQ(ReadFileBytes(raw), SampleBytes(resampled));
    auto info = ChildProcess::Start(*sox, {"--i", "-r", Out()});
    ASSERT_TRUE(info);
    EXPECT_EQ(info->ReadAllLines(), std::vector<std::string>{"16000"});
    EXPECT_EQ(info->Wait(), 0);
  }
}

TEST_F(WaveConverter, ARateOfZeroOrAShortDataChunkIsRefusedCleanly) {
  const Samples s = Noise(3000, 5, 1000);
  Result r = Convert(Riff({Chunk("fmt ", FmtBody(1, 1, 0, 16)), Chunk("data", SampleBytes(s))}), 16000.0f);
  EXPECT_EQ(r.value, 0);
  EXPECT_FALSE(OutputExists());
  // A truncated file, a size near 4 GiB, and a size one sample beyond what is there.
  for (const std::uint32_t declared : {6000u + 1000u, 0xFFFFFFFFu, 0x7FFFFFFEu, 6002u}) {
    SCOPED_TRACE(declared);
    ExpectFailure(Convert(Riff({PcmFmt(44100), ChunkWithSize("data", declared, SampleBytes(s))}), 16000.0f),
                  "error reading data chunk !\n");
  }
  // A format chunk that the file cuts off: no "data" chunk can follow.
  ByteVector cut = Riff({PcmFmt(44100)});
  cut.resize(cut.size() - 6);
  ExpectFailure(Convert(cut, 16000.0f), "error reading data chunk !\n");
}

TEST_F(WaveConverter, UnusableOutputRatesAreRefused) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  for (const float rate : {0.0f, -16000.0f, nan, inf, 5e9f, 3e38f}) {
    const Result r = Convert(SimpleWav(44100, Noise(500, 2, 100)), rate);
    EXPECT_EQ(r.value, 0) << rate;
    EXPECT_FALSE(OutputExists()) << rate;
  }
}

}  // namespace
}  // namespace velkin::test
