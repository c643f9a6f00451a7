// The 12-bit PCM coding through the TARPEL export: block records byte by byte, low-level blocks, the
// near-zero block end, silence, segment ends, and the round trip through velkin-decode.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <velkin/tarpel.h>
#include "tests/encoders/common/tarpel_harness.h"
#include "tests/support/child_process.h"
#include "tests/support/program_paths.h"

namespace velkin::test {
namespace {

using Kind = Record::Kind;
using Samples = std::vector<std::int16_t>;

const ByteVector kEndOfStream = {0xFF, 0xFF, 0xFF, 0xFF};

// Loud and never near zero (|s| >= 63) nor low (|s| >= 3000): such blocks end exactly where the samples
// read end.
Samples Loud(std::size_t count) {
  return Square(count, 50, 10000);
}

Samples Join(std::initializer_list<Samples> parts) {
  Samples all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

ByteVector UsualHeader(std::uint32_t samples) {
  return {static_cast<std::uint8_t>(samples),
          static_cast<std::uint8_t>(samples >> 8),
          static_cast<std::uint8_t>(samples >> 16),
          0x3B,
          0x5A,
          0xA3,
          0x00,
          0x45,
          0xFF,
          0x07};
}

std::int16_t FromOffsetBinary(std::uint16_t u) {
  return static_cast<std::int16_t>(u ^ 0x8000u);
}

std::vector<std::uint32_t> BlockLengths(const std::vector<Record>& records, bool* all_normal = nullptr) {
  std::vector<std::uint32_t> lengths;
  if (all_normal) *all_normal = true;
  for (const auto& r : records) {
    if (r.kind != Kind::kBlock) continue;
    lengths.push_back(r.length);
    if (all_normal && !r.normal) *all_normal = false;
  }
  return lengths;
}

// ---------------------------------------------------------------------------------------------------
// Block records

TEST(Pcm12Blocks, PackingOfEvenAndOddBlocks) {
  TempDir dir;
  // Words A = 0x1234 and B = 0xABCD pack into 0x12, 0x3C, 0xAB; a lone last word 0x5678 into 0x56, 0x70.
  const Samples even = {FromOffsetBinary(0x1234), FromOffsetBinary(0xABCD)};
  auto run = EncodeWav(dir, SimpleWav(16000, even));
  ASSERT_EQ(run.result, 1);
  ByteVector expected = UsualHeader(2);
  PutBytes(expected, {0x06, 0x01, 0x80, 0x12, 0x3C, 0xAB});
  PutBytes(expected, kEndOfStream);
  EXPECT_EQ(run.code, expected);
  EXPECT_EQ(run.preview, even);

  const Samples odd = {FromOffsetBinary(0x1234), FromOffsetBinary(0xABCD), FromOffsetBinary(0x5678)};
  run = EncodeWav(dir, SimpleWav(16000, odd));
  ASSERT_EQ(run.result, 1);
  expected = UsualHeader(3);
  PutBytes(expected, {0x06, 0x02, 0x80, 0x12, 0x3C, 0xAB, 0x56, 0x70});
  PutBytes(expected, kEndOfStream);
  EXPECT_EQ(run.code, expected);
  EXPECT_EQ(run.preview, odd);
  EXPECT_EQ(run.progress, (std::vector<ProgressCall>{{1, 100}, {1, 100}}));
}

TEST(Pcm12Blocks, NormalBlockOf1024HasLengthWord83FF) {
  TempDir dir;
  const auto run = EncodeWav(dir, SimpleWav(16000, Loud(1024)));
  ASSERT_EQ(run.result, 1);
  const auto records = ParseTarpelStream(run.code);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].bytes.at(1), 0xFF);
  EXPECT_EQ(records[0].bytes.at(2), 0x83);
  EXPECT_EQ(records[0].bytes.size(), 3u + 1536u);
}

// 300 samples within +-2999 (with -1 and 1 first, and a near-zero last one), then loud samples.
Samples LowPassageThenLoud() {
  Samples s = {-1, 1};
  const std::int16_t cycle[] = {1500, -2999, 2999, -1500};
  for (int i = 2; i < 299; ++i) s.push_back(cycle[(i - 2) % 4]);
  s.push_back(1);
  const auto loud = Loud(20);
  s.insert(s.end(), loud.begin(), loud.end());
  return s;
}

std::uint16_t LowLevelWord(std::int16_t s) {
  return static_cast<std::uint16_t>(32768 + 8 * s + (s < 0 ? 7 : 0));
}

TEST(Pcm12Blocks, LowLevelBlockWords) {
  TempDir dir;
  const auto samples = LowPassageThenLoud();
  const auto run = EncodeWav(dir, SimpleWav(16000, samples));
  ASSERT_EQ(run.result, 1);
  const auto records = ParseTarpelStream(run.code);
  ASSERT_EQ(records.size(), 3u);
  const Record& low = records[0];
  EXPECT_FALSE(low.normal);
  EXPECT_EQ(low.length, 300u);
  // Length word 299 with bit 15 clear.
  EXPECT_EQ(low.bytes.at(1), 0x2B);
  EXPECT_EQ(low.bytes.at(2), 0x01);
  // s = -1 -> W = 0x7FFF (value 0x7FF), s = 1 -> 0x8008 (value 0x800): bytes 0x7F, 0xF0, 0x80.
  EXPECT_EQ(ByteVector(low.bytes.begin() + 3, low.bytes.begin() + 6), (ByteVector{0x7F, 0xF0, 0x80}));
  // 1500 -> 0xAEE0 and -2999 -> 0x224F: 0xAE, 0xE4, 0x22.
  EXPECT_EQ(ByteVector(low.bytes.begin() + 6, low.bytes.begin() + 9), (ByteVector{0xAE, 0xE4, 0x22}));
  for (std::size_t i = 0; i < 300; ++i) EXPECT_EQ(low.words[i], LowLevelWord(samples[i]) & 0xFFF0u) << i;
  EXPECT_TRUE(records[1].normal);
  EXPECT_EQ(records[1].length, 20u);
  // The preview holds the input samples themselves, -1 and 1 included.
  EXPECT_EQ(run.preview, samples);
}

TEST(Pcm12Blocks, TwoHundredFiftyFiveLowSamplesStayNormal) {
  TempDir dir;
  Samples s(255, 1000);
  const auto loud = Loud(100);
  s.insert(s.end(), loud.begin(), loud.end());
  const auto run = EncodeWav(dir, SimpleWav(16000, s));
  ASSERT_EQ(run.result, 1);
  bool all_normal = false;
  EXPECT_EQ(BlockLengths(ParseTarpelStream(run.code), &all_normal), (std::vector<std::uint32_t>{355}));
  EXPECT_TRUE(all_normal);
}

// ---------------------------------------------------------------------------------------------------
// Where blocks end

TEST(Pcm12BlockEnd, InnerSilenceCutsAndBlockEndsAfterNearZeroSample) {
  // Loud 500, 20 zeros, loud 3000: the silence scan cuts at 1024 (its run ends before 1024), and the
  // backward search then ends the block after the last zero (index 519).
  TempDir dir;
  const auto samples = Join({Loud(500), Samples(20, 0), Loud(3000)});
  const auto run = EncodeWav(dir, SimpleWav(16000, samples));
  ASSERT_EQ(run.result, 1);
  bool all_normal = false;
  EXPECT_EQ(BlockLengths(ParseTarpelStream(run.code), &all_normal), (std::vector<std::uint32_t>{520, 3000}));
  EXPECT_TRUE(all_normal);
  EXPECT_EQ(run.preview, samples);
}

TEST(Pcm12BlockEnd, LongLoudPartEndsAtTheSilenceAndTheSilenceBecomesARecord) {
  TempDir dir;
  const auto samples = Join({Loud(2000), Samples(20, 0), Loud(2000)});
  const auto run = EncodeWav(dir, SimpleWav(16000, samples));
  ASSERT_EQ(run.result, 1);
  const auto records = ParseTarpelStream(run.code);
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].length, 2000u);
  EXPECT_EQ(records[1].bytes, (ByteVector{0x00, 20, 0x40}));
  EXPECT_EQ(records[2].length, 2000u);
  EXPECT_EQ(run.preview, samples);
  // (0 + 2000) * 100 / 4020 = 49, then (2020 + 2000) * 100 / 4020 = 100.
  EXPECT_EQ(run.progress, (std::vector<ProgressCall>{{1, 49}, {1, 100}, {1, 100}}));
}

TEST(Pcm12BlockEnd, LowPassageLaterInBlockEndsLoudPartAtNextNearZeroSample) {
  // Loud 2000, 300 low samples with a near-zero one at 2150, loud 2000: the low-level scan gives a
  // normal block of provisional length 2000; the forward search ends it after sample 2150.
  TempDir dir;
  Samples low(300);
  for (std::size_t i = 0; i < low.size(); ++i) low[i] = i % 2 ? 500 : -500;
  low[150] = 10;
  const auto samples = Join({Loud(2000), low, Loud(2000)});
  const auto run = EncodeWav(dir, SimpleWav(16000, samples));
  ASSERT_EQ(run.result, 1);
  bool all_normal = false;
  EXPECT_EQ(BlockLengths(ParseTarpelStream(run.code), &all_normal), (std::vector<std::uint32_t>{2151, 2149}));
  EXPECT_TRUE(all_normal);
}

TEST(Pcm12BlockEnd, LowLevelBlockEndsAfterItsLastNearZeroSample) {
  TempDir dir;
  Samples low(400);
  for (std::size_t i = 0; i < low.size(); ++i) low[i] = i % 2 ? 500 : -500;
  low[350] = -20;
  const auto samples = Join({low, Loud(100)});
  const auto run = EncodeWav(dir, SimpleWav(16000, samples));
  ASSERT_EQ(run.result, 1);
  const auto records = ParseTarpelStream(run.code);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_FALSE(records[0].normal);
  EXPECT_EQ(records[0].length, 351u);
  EXPECT_TRUE(records[1].normal);
  EXPECT_EQ(records[1].length, 149u);
  EXPECT_EQ(run.preview, samples);
}

// ---------------------------------------------------------------------------------------------------
// Segment ends and silence

Samples Ramp(std::size_t count) {
  Samples s(count);
  for (std::size_t i = 0; i < count; ++i) s[i] = static_cast<std::int16_t>(5000 + i % 25000);
  return s;
}

TEST(Pcm12Segments, SingleLeftOverSampleIsReadAgainByTheNextSegment) {
  // A cue point at 16385: the first segment codes one full block and leaves one sample, which is not
  // coded; the input stays on it, so the last segment starts one sample early and the file's last
  // sample is never reached.
  TempDir dir;
  const auto samples = Ramp(17000);
  const auto run =
      EncodeWav(dir, Riff({PcmFmt(16000), Chunk("cue ", CueBody({16385})), Chunk("data", SampleBytes(samples))}));
  ASSERT_EQ(run.result, 1);
  const auto records = ParseTarpelStream(run.code);
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[0].length, 16384u);
  EXPECT_EQ(records[1].kind, Kind::kMarker);
  EXPECT_EQ(records[2].kind, Kind::kMarker);
  EXPECT_EQ(records[3].length, 615u);
  EXPECT_EQ(records[3].words.front(), static_cast<std::uint16_t>(samples[16384] + 32768) & 0xFFF0u);
  Samples expected(samples.begin(), samples.begin() + 16384);
  expected.insert(expected.end(), samples.begin() + 16384, samples.begin() + 16999);
  EXPECT_EQ(run.preview, expected);
  EXPECT_EQ(run.progress, (std::vector<ProgressCall>{{1, 99}, {1, 100}, {1, 100}, {1, 100}, {1, 100}}));
}

TEST(Pcm12Segments, SilentInputBecomesSilenceRecords) {
  TempDir dir;
  // Two full blocks of 16384 (0x4000 + 16384 = 0x8000) and a remainder of 12.
  auto run = EncodeWav(dir, SimpleWav(16000, Samples(2 * 16384 + 12, 0)));
  ASSERT_EQ(run.result, 1);
  ByteVector expected = UsualHeader(2 * 16384 + 12);
  PutBytes(expected, {0x00, 0x00, 0x80, 0x00, 0x00, 0x80, 0x00, 0x0C, 0x40});
  PutBytes(expected, kEndOfStream);
  EXPECT_EQ(run.code, expected);
  EXPECT_EQ(run.preview, Samples(2 * 16384 + 12, 0));
  EXPECT_EQ(run.progress, (std::vector<ProgressCall>{{1, 100}}));

  // A remainder of 2 to 9 samples is a normal block.
  run = EncodeWav(dir, SimpleWav(16000, Samples(16384 + 5, 2)));
  ASSERT_EQ(run.result, 1);
  expected = UsualHeader(16384 + 5);
  PutBytes(expected, {0x00, 0x00, 0x80, 0x06, 0x04, 0x80, 0x80, 0x00, 0x80, 0x80, 0x00, 0x80, 0x80, 0x00});
  PutBytes(expected, kEndOfStream);
  EXPECT_EQ(run.code, expected);
  Samples preview(16384, 0);
  preview.insert(preview.end(), 5, 2);
  EXPECT_EQ(run.preview, preview);

  // A remainder of 1 is not coded.
  run = EncodeWav(dir, SimpleWav(16000, Samples(16384 + 1, -3)));
  ASSERT_EQ(run.result, 1);
  expected = UsualHeader(16384 + 1);
  PutBytes(expected, {0x00, 0x00, 0x80});
  PutBytes(expected, kEndOfStream);
  EXPECT_EQ(run.code, expected);
  EXPECT_EQ(run.preview, Samples(16384, 0));
}

TEST(Pcm12Segments, ProgressKeepsUnsignedThirtyTwoBitArithmetic) {
  // (w + b) * 100 wraps past 2^32 for a block ending after sample 42949672: the device tools reported
  // 0 there, and so does this one. 43 million silent samples (a sparse file) then 1000 loud ones.
  TempDir dir;
  constexpr std::uint32_t kSilent = 43000000;
  const auto tail = Loud(1000);
  auto wav = SimpleWav(16000, {});
  const std::uint32_t data_bytes = 2 * (kSilent + 1000);
  const std::size_t header = wav.size();
  auto put32 = [&wav](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) wav[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  put32(4, static_cast<std::uint32_t>(header - 8 + data_bytes));
  put32(header - 4, data_bytes);
  const std::string path = dir.File("long.wav");
  WriteFileBytes(path, wav);
  std::filesystem::resize_file(path, header + data_bytes);
  {
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(static_cast<std::streamoff>(header + 2ull * kSilent));
    const auto bytes = SampleBytes(tail);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  // The outputs are large: only the progress, the preview's size and its last samples are looked at.
  std::vector<ProgressCall> progress;
  const std::string code = dir.File("long.COD");
  ASSERT_EQ(TARPEL(code.c_str(), path.c_str(), "12000000", "8", 0, 0, &CollectProgress,
                   reinterpret_cast<std::intptr_t>(&progress)),
            1);
  EXPECT_EQ(progress, (std::vector<ProgressCall>{{1, 0}, {1, 100}}));
  ASSERT_EQ(std::filesystem::file_size(code + ".PCM"), 2ull * (kSilent + 1000));
  std::ifstream preview(code + ".PCM", std::ios::binary);
  preview.seekg(2 * static_cast<std::streamoff>(kSilent));
  ByteVector last(2000);
  preview.read(reinterpret_cast<char*>(last.data()), 2000);
  EXPECT_EQ(Int16s(last), tail);
}

// ---------------------------------------------------------------------------------------------------
// Round trip through velkin-decode

struct Decoded {
  int status = -1;
  std::vector<std::string> lines;
  Samples samples;
  std::uint32_t rate = 0;
};

Decoded RunDecoder(const std::string& code_path, const std::string& wav_path) {
  Decoded d;
  auto child = ChildProcess::Start(ProgramPath("velkin-decode"), {code_path, wav_path});
  if (!child) return d;
  d.lines = child->ReadAllLines();
  d.status = child->Wait();
  const auto wav = ReadFileBytes(wav_path);
  if (wav.size() >= 44) {
    d.rate = GetU32(wav, 24);
    d.samples = Int16s(ByteVector(wav.begin() + 44, wav.end()));
  }
  return d;
}

// Every decoded sample lies at most one 12-bit step (16) below the preview's sample; low-level blocks
// come back within 1.
void ExpectWithinQuantisation(const Samples& preview, const Samples& decoded) {
  ASSERT_EQ(decoded.size(), preview.size());
  for (std::size_t i = 0; i < preview.size(); ++i) {
    const int diff = preview[i] - decoded[i];
    ASSERT_TRUE(diff >= 0 && diff <= 15) << "sample " << i << ": preview " << preview[i] << " decoded " << decoded[i];
  }
}

TEST(Pcm12RoundTrip, RichFileDecodesBackToThePreview) {
  TempDir dir;
  // Music-like audio with quiet passages, silences and region markers, in a file with odd chunks, an
  // 18-byte format chunk and its labels and lengths after the data.
  Samples samples = Sine(30000, 523.25, 16000, 20000);
  const auto quiet = Sine(5000, 200, 16000, 1500);
  samples.insert(samples.end(), quiet.begin(), quiet.end());
  samples.insert(samples.end(), 3000, 0);
  const auto noise = Noise(20000, 7, 30000);
  samples.insert(samples.end(), noise.begin(), noise.end());
  samples.insert(samples.end(), 17, 2);
  const auto wav =
      Riff({Chunk("fmt ", FmtBody(1, 1, 16000, 16, true, 0)), Chunk("JUNK", {1, 2, 3, 4, 5}),
            Chunk("cue ", CueBody({4000, 36000, 100})), Chunk("data", SampleBytes(samples)),
            Chunk("LIST", AdtlBody({LablChunk(1, "10"), LablChunk(2, "20"), LtxtChunk(1, 2000), LtxtChunk(2, 1000)}))});
  WriteFileBytes(dir.File("rich.wav"), wav);
  const auto run = RunTarpel(dir.File("rich.COD"), dir.File("rich.wav"));
  ASSERT_EQ(run.result, 1);
  const auto records = ParseTarpelStream(run.code);
  bool any_low = false;
  bool any_silence = false;
  for (const auto& r : records) {
    any_low |= r.kind == Kind::kBlock && !r.normal;
    any_silence |= r.kind == Kind::kSilence;
  }
  EXPECT_TRUE(any_low);
  EXPECT_TRUE(any_silence);

  const auto decoded = RunDecoder(dir.File("rich.COD"), dir.File("rich-decoded.wav"));
  ASSERT_EQ(decoded.status, 0);
  EXPECT_EQ(decoded.rate, 16000u);
  ExpectWithinQuantisation(run.preview, decoded.samples);
  // Events sorted: cue 2 at 100 (end 100), cue 0 at 4000 .. 6000, cue 1 at 36000 .. 37000.
  ASSERT_EQ(decoded.lines.size(), 7u);
  EXPECT_EQ(decoded.lines[0], "TARPEL 16000 Hz, " + std::to_string(run.preview.size()) + " samples (header " +
                                  std::to_string(samples.size()) + ")");
  EXPECT_EQ(decoded.lines[1], "region start cue 2 label 0 at 100");
  EXPECT_EQ(decoded.lines[2], "region end cue 2 label 0 at 100");
  EXPECT_EQ(decoded.lines[3], "region start cue 0 label 10 at 4000");
  EXPECT_EQ(decoded.lines[4], "region end cue 0 label 10 at 6000");
  EXPECT_EQ(decoded.lines[5], "region start cue 1 label 20 at 36000");
  EXPECT_EQ(decoded.lines[6], "region end cue 1 label 20 at 37000");
}

TEST(Pcm12RoundTrip, EveryKindOfSignalStaysWithinOneStep) {
  TempDir dir;
  const std::vector<Samples> signals = {Noise(40000, 3, 32767), Square(40000, 7, -32768), Sine(40000, 50, 16000, 2999),
                                        Noise(40000, 11, 70), Samples(40000, -32768)};
  for (std::size_t i = 0; i < signals.size(); ++i) {
    const std::string name = std::to_string(i) + "-signal";
    WriteFileBytes(dir.File(name + ".wav"), SimpleWav(16000, signals[i]));
    const auto run = RunTarpel(dir.File(name + ".COD"), dir.File(name + ".wav"));
    ASSERT_EQ(run.result, 1) << i;
    ParseTarpelStream(run.code);
    const auto decoded = RunDecoder(dir.File(name + ".COD"), dir.File(name + "-decoded.wav"));
    ASSERT_EQ(decoded.status, 0) << i;
    ExpectWithinQuantisation(run.preview, decoded.samples);
    // Apart from silence records, the preview is the input.
    for (std::size_t j = 0; j < run.preview.size(); ++j) {
      ASSERT_TRUE(run.preview[j] == signals[i][j] || run.preview[j] == 0) << i << " at " << j;
    }
  }
}

}  // namespace
}  // namespace velkin::test
