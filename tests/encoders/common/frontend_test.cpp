// The encoder front end through the TARPEL export: arguments, output naming, the chunk walk, regions,
// the header, escape records, silence detection, progress, and every failure path.
#include <gtest/gtest.h>
#include <velkin/tarpel.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "tarpel_harness.h"

namespace velkin::test {
namespace {

namespace fs = std::filesystem;
using Kind = Record::Kind;

// A loud signal without any sample near zero (|s| >= 63) or quiet: blocks then end exactly at the
// segment ends, which keeps the expected streams short.
std::vector<std::int16_t> Loud(std::size_t count) {
  return Square(count, 50, 10000);
}

ByteVector WavWith(const std::vector<ByteVector>& chunks) {
  return Riff(chunks);
}

const ByteVector kHeader12MHz16k0 = {0x00, 0x00, 0x00, 0x3B, 0x5A, 0xA3, 0x00, 0x45, 0xFF, 0x07};
const ByteVector kEndOfStream = {0xFF, 0xFF, 0xFF, 0xFF};

ByteVector Concat(std::initializer_list<ByteVector> parts) {
  ByteVector all;
  for (const auto& p : parts) PutBytes(all, p);
  return all;
}

std::vector<Record> Markers(const std::vector<Record>& records) {
  std::vector<Record> m;
  for (const auto& r : records) {
    if (r.kind == Kind::kMarker) m.push_back(r);
  }
  return m;
}

// ---------------------------------------------------------------------------------------------------
// Header

TEST(EncoderHeader, NoSamplesGiveHeaderAndEndOfStreamOnly) {
  TempDir dir;
  const auto run = EncodeWav(dir, SimpleWav(16000, {}));
  ASSERT_EQ(run.result, 1);
  EXPECT_EQ(run.code, Concat({kHeader12MHz16k0, kEndOfStream}));
  EXPECT_TRUE(run.preview_exists);
  EXPECT_TRUE(run.preview.empty());
  EXPECT_EQ(run.progress, (std::vector<ProgressCall>{{1, 100}}));
}

struct TimerCase {
  const char* clock;
  std::uint32_t rate;
  ByteVector rate_and_timer;  // header bytes 3 .. end
};

void PrintTo(const TimerCase& c, std::ostream* os) {
  for (const char* p = c.clock; *p; ++p) *os << (*p >= '0' && *p <= '9' ? *p : '_');
  *os << "_at_" << c.rate;
}

class EncoderTimer : public ::testing::TestWithParam<TimerCase> {};

TEST_P(EncoderTimer, HeaderBytes) {
  TempDir dir;
  const auto& c = GetParam();
  TarpelOptions options;
  options.clock = c.clock;
  const auto run = EncodeWav(dir, SimpleWav(c.rate, {}), options);
  ASSERT_EQ(run.result, 1);
  ByteVector expected = {0x00, 0x00, 0x00};
  PutBytes(expected, c.rate_and_timer);
  PutBytes(expected, kEndOfStream);
  EXPECT_EQ(run.code, expected);
}

INSTANTIATE_TEST_SUITE_P(Clocks, EncoderTimer,
                         ::testing::Values(
                             // The console's clock at 16000 Hz: i = 0, q = 93; 65536 - 187 = 0xFF45.
                             TimerCase{"12000000", 16000, {0x3B, 0x5A, 0xA3, 0x00, 0x45, 0xFF, 0x07}},
                             // 44100 Hz: q = 34, 65536 - 68.
                             TimerCase{"12000000", 44100, {0x6B, 0x5A, 0xDE, 0x00, 0xBC, 0xFF, 0x07}},
                             // An unlisted rate (code 15) that needs the prescaler i = 1: q = 187, 65536 - 750.
                             TimerCase{"12000000", 4000, {0xFB, 0x5A, 0x45, 0x01, 0x12, 0xFD, 0x07}},
                             // No prescaler fits: only the 16-bit value, 65536 - 83333 kept to its low 16 bits.
                             TimerCase{"2000000000", 6000, {0x0B, 0x5A, 0x7B, 0xBA, 0x07}},
                             // The 3580000 Hz clock: four values 65536 - m * 3580000 / 64000.
                             TimerCase{
                                 "3580000", 16000, {0x3B, 0x5A, 0xC9, 0xFF, 0x91, 0xFF, 0x59, 0xFF, 0x21, 0xFF, 0x07}},
                             // atoi reading: leading blanks and trailing text are ignored.
                             TimerCase{" 12000000Hz", 16000, {0x3B, 0x5A, 0xA3, 0x00, 0x45, 0xFF, 0x07}}));

TEST(EncoderHeader, RateCodes) {
  const std::vector<std::pair<std::uint32_t, std::uint8_t>> codes = {{6000, 0},  {8000, 1},   {11025, 2},  {16000, 3},
                                                                     {22050, 4}, {32000, 5},  {44100, 6},  {48000, 7},
                                                                     {96000, 8}, {192000, 9}, {12345, 15}, {16001, 15}};
  TempDir dir;
  for (const auto& [rate, code] : codes) {
    const auto run = EncodeWav(dir, SimpleWav(rate, {}));
    ASSERT_EQ(run.result, 1) << rate;
    EXPECT_EQ(run.code.at(3), code * 16 + 0x0B) << rate;
    EXPECT_EQ(run.code.at(4), 0x5A) << rate;
  }
}

TEST(EncoderHeader, SampleCountIsTheDeclaredDataSizeLow24Bits) {
  TempDir dir;
  // A data chunk that declares 0x1000005 samples but holds 3: the header keeps the declared count's
  // low 24 bits, and only the three samples present are coded.
  const std::vector<std::int16_t> samples = {1000, -1000, 1000};
  const auto wav = WavWith({PcmFmt(16000), ChunkWithSize("data", 2 * 0x1000005u, SampleBytes(samples), false)});
  const auto run = EncodeWav(dir, wav);
  ASSERT_EQ(run.result, 1);
  EXPECT_EQ(ByteVector(run.code.begin(), run.code.begin() + 3), (ByteVector{0x05, 0x00, 0x00}));
  EXPECT_EQ(run.preview, samples);
}

// ---------------------------------------------------------------------------------------------------
// Regions from cue points, labels and lengths

TEST(EncoderRegions, WorkedExampleSortsEventsAndMarksEmptySegment) {
  // Cue point 0 at 1000 with length 500, cue point 1 at 200 with length 0: events (1, start, 200),
  // (1, end, 200), (0, start, 1000), (0, end, 1500), then N = 2000.
  TempDir dir;
  const auto wav =
      WavWith({PcmFmt(16000), Chunk("cue ", CueBody({1000, 200})),
               Chunk("LIST", AdtlBody({LtxtChunk(1, 500), LtxtChunk(2, 0)})), Chunk("data", SampleBytes(Loud(2000)))});
  SaveFuzzSeed("worked_example", wav);
  const auto run = EncodeWav(dir, wav);
  ASSERT_EQ(run.result, 1);
  const auto records = ParseTarpelStream(run.code);
  std::vector<std::string> shape;
  for (const auto& r : records) {
    if (r.kind == Kind::kBlock) shape.push_back("block " + std::to_string(r.length));
    if (r.kind == Kind::kMarker) shape.push_back("marker " + std::to_string(r.type) + " " + std::to_string(r.cue_byte));
    if (r.kind == Kind::kEnd) shape.push_back("end");
  }
  EXPECT_EQ(shape, (std::vector<std::string>{"block 200", "marker 1 33", "marker 2 33", "block 800", "marker 1 32",
                                             "block 500", "marker 2 32", "block 500", "end"}));
  EXPECT_EQ(run.preview, Loud(2000));
  // One block per segment: its report and the segment's 100 each, the empty segment only its 100.
  EXPECT_EQ(run.progress, std::vector<ProgressCall>(9, {1, 100}));
}

TEST(EncoderRegions, LabelBytes) {
  // Identifier 1: "12" then letters gives 12; identifier 2 has no label (0); identifier 3: 300 -> 44.
  TempDir dir;
  const auto wav = WavWith(
      {PcmFmt(16000), Chunk("data", SampleBytes(Loud(100))), Chunk("cue ", CueBody({10, 20, 30})),
       Chunk("LIST", AdtlBody({LablChunk(1, "12abc"), LablChunk(3, "300"), LablChunk(0, "9"), LablChunk(257, "9")}))});
  SaveFuzzSeed("labels", wav);
  const auto run = EncodeWav(dir, wav);
  ASSERT_EQ(run.result, 1);
  const auto markers = Markers(ParseTarpelStream(run.code));
  ASSERT_EQ(markers.size(), 6u);
  // Each cue point has length 0, so its start and end markers follow each other.
  const std::vector<ByteVector> expected = {{0x00, 1, 0x20, 12}, {0x00, 2, 0x20, 12}, {0x00, 1, 0x21, 0},
                                            {0x00, 2, 0x21, 0},  {0x00, 1, 0x22, 44}, {0x00, 2, 0x22, 44}};
  for (std::size_t i = 0; i < markers.size(); ++i) EXPECT_EQ(markers[i].bytes, expected[i]) << i;
}

TEST(EncoderRegions, ThirtyThirdCuePointWrapsToIndexZeroByte) {
  TempDir dir;
  std::vector<std::uint32_t> positions;
  for (std::uint32_t i = 0; i < 33; ++i) positions.push_back(100 + 10 * i);
  const auto wav = WavWith({PcmFmt(16000), Chunk("cue ", CueBody(positions)), Chunk("data", SampleBytes(Loud(1000)))});
  const auto run = EncodeWav(dir, wav);
  ASSERT_EQ(run.result, 1);
  const auto markers = Markers(ParseTarpelStream(run.code));
  ASSERT_EQ(markers.size(), 66u);
  EXPECT_EQ(markers[62].cue_byte, 0x3F);  // index 31
  EXPECT_EQ(markers[64].cue_byte, 0x20);  // index 32
  EXPECT_EQ(markers[65].cue_byte, 0x20);
  EXPECT_EQ(run.preview, Loud(1000));
}

TEST(EncoderRegions, OnlyFirst256CuePointsCount) {
  TempDir dir;
  std::vector<std::uint32_t> positions(300, 50);
  const auto wav = WavWith({PcmFmt(16000), Chunk("cue ", CueBody(positions)), Chunk("data", SampleBytes(Loud(100)))});
  const auto run = EncodeWav(dir, wav);
  ASSERT_EQ(run.result, 1);
  EXPECT_EQ(Markers(ParseTarpelStream(run.code)).size(), 512u);
}

TEST(EncoderRegions, NoCuePointsOneSegmentOneFinalReport) {
  TempDir dir;
  const auto run = EncodeWav(dir, SimpleWav(16000, Loud(40000)));
  ASSERT_EQ(run.result, 1);
  const auto records = ParseTarpelStream(run.code);
  EXPECT_TRUE(Markers(records).empty());
  // Blocks of 16384, 16384 and 7232 samples: (w + b) * 100 / 40000, then the segment's 100.
  EXPECT_EQ(run.progress, (std::vector<ProgressCall>{{1, 40}, {1, 81}, {1, 100}, {1, 100}}));
}

TEST(EncoderRegions, UserValueIsHandedBackUnchangedAndNullCallbackIsFine) {
  TempDir dir;
  WriteFileBytes(dir.File("in.wav"), SimpleWav(16000, Loud(100)));
  static std::intptr_t seen = 0;
  const auto callback = [](std::int32_t, std::int32_t, std::intptr_t user) VELKIN_CALL -> std::int32_t {
    seen = user;
    return 0;
  };
  const std::string input = dir.File("in.wav");
  EXPECT_EQ(TARPEL(dir.File("a.COD").c_str(), input.c_str(), "12000000", "8", 0, 0, callback,
                   reinterpret_cast<std::intptr_t>(input.c_str())),
            1);
  EXPECT_EQ(seen, reinterpret_cast<std::intptr_t>(input.c_str()));
  TarpelOptions quiet;
  quiet.with_callback = false;
  const auto run = RunTarpel(dir.File("b.COD"), input, quiet);
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(run.code, ReadFileBytes(dir.File("a.COD")));
}

// ---------------------------------------------------------------------------------------------------
// The chunk walk

TEST(EncoderWalk, SixteenAndEighteenByteFormatChunksAreReadAlike) {
  TempDir dir;
  const auto samples = Sine(3000, 440, 16000, 12000);
  const auto plain =
      EncodeWav(dir, Riff({Chunk("fmt ", FmtBody(1, 1, 16000, 16)), Chunk("data", SampleBytes(samples))}));
  const auto extended =
      EncodeWav(dir, Riff({Chunk("fmt ", FmtBody(1, 1, 16000, 16, true, 0)), Chunk("data", SampleBytes(samples))}));
  ASSERT_EQ(plain.result, 1);
  ASSERT_EQ(extended.result, 1);
  EXPECT_EQ(plain.code, extended.code);
  EXPECT_EQ(plain.preview, extended.preview);
  EXPECT_EQ(plain.preview, samples);
}

TEST(EncoderWalk, PadByteAfterOddChunksIsSkipped) {
  // Mended: the walk steps over the pad byte of an odd-sized chunk, so the data after it is found.
  TempDir dir;
  const auto samples = Loud(500);
  const auto wav = WavWith({PcmFmt(16000), Chunk("JUNK", {1, 2, 3}), Chunk("LIST", ByteVector{'I', 'N', 'F', 'O', 'x'}),
                            Chunk("data", SampleBytes(samples))});
  SaveFuzzSeed("odd_chunks", wav);
  const auto run = EncodeWav(dir, wav);
  ASSERT_EQ(run.result, 1);
  EXPECT_EQ(run.preview, samples);
  EXPECT_EQ(CodedSamples(ParseTarpelStream(run.code)), 500u);
}

TEST(EncoderWalk, ListAfterCueChunkIsStillRead) {
  // Mended: the cue chunk's own end decides whether the walk goes on. Ten cue points make the cue chunk
  // larger than the LIST after it, which the old end test (records end + size) would have lost.
  TempDir dir;
  std::vector<std::uint32_t> positions;
  for (std::uint32_t i = 0; i < 10; ++i) positions.push_back(100 * (i + 1));
  const auto wav = WavWith({PcmFmt(16000), Chunk("data", SampleBytes(Loud(2000))), Chunk("cue ", CueBody(positions)),
                            Chunk("LIST", AdtlBody({LablChunk(1, "7"), LtxtChunk(1, 50)}))});
  const auto run = EncodeWav(dir, wav);
  ASSERT_EQ(run.result, 1);
  const auto records = ParseTarpelStream(run.code);
  const auto markers = Markers(records);
  ASSERT_EQ(markers.size(), 20u);
  EXPECT_EQ(markers[0].bytes, (ByteVector{0x00, 1, 0x20, 7}));
  // Cue 0's end at 150 comes before cue 1's start at 200.
  EXPECT_EQ(markers[1].bytes, (ByteVector{0x00, 2, 0x20, 7}));
  ASSERT_GE(records.size(), 4u);
  EXPECT_EQ(records[2].kind, Kind::kBlock);
  EXPECT_EQ(records[2].length, 50u);
}

TEST(EncoderWalk, ChunksAfterAdtlListAreStillWalked) {
  // Mended: the adtl sub-walk stops at the end of its LIST, so a data chunk after the LIST is coded
  // and the label and length before it are used.
  TempDir dir;
  const auto samples = Loud(1000);
  const auto wav =
      WavWith({PcmFmt(16000), Chunk("cue ", CueBody({300})),
               Chunk("LIST", AdtlBody({LablChunk(1, "5"), LtxtChunk(1, 100), Chunk("note", {'h', 'i', 0})})),
               Chunk("data", SampleBytes(samples))});
  SaveFuzzSeed("list_before_data", wav);
  const auto run = EncodeWav(dir, wav);
  ASSERT_EQ(run.result, 1);
  EXPECT_EQ(run.preview, samples);
  const auto records = ParseTarpelStream(run.code);
  ASSERT_EQ(records.size(), 6u);
  EXPECT_EQ(records[0].length, 300u);
  EXPECT_EQ(records[1].bytes, (ByteVector{0x00, 1, 0x20, 5}));
  EXPECT_EQ(records[2].length, 100u);
  EXPECT_EQ(records[3].bytes, (ByteVector{0x00, 2, 0x20, 5}));
  EXPECT_EQ(records[4].length, 600u);
}

TEST(EncoderWalk, LaterDataChunkReplacesEarlierOne) {
  TempDir dir;
  const auto wav =
      WavWith({PcmFmt(16000), Chunk("data", SampleBytes(Loud(100))), Chunk("data", SampleBytes(Loud(60)))});
  const auto run = EncodeWav(dir, wav);
  ASSERT_EQ(run.result, 1);
  EXPECT_EQ(run.preview, Loud(60));
}

TEST(EncoderWalk, NothingPastTheDataChunkIsReadAsSamples) {
  // Mended: cue positions beyond the data make the first segment ask for more samples than the chunk
  // has; the LIST that follows the data must not become samples.
  TempDir dir;
  const auto samples = Loud(1000);
  const auto wav = WavWith({PcmFmt(16000), Chunk("cue ", CueBody({5000})), Chunk("data", SampleBytes(samples)),
                            Chunk("LIST", AdtlBody({LablChunk(1, "3"), LtxtChunk(1, 10)}))});
  SaveFuzzSeed("cue_past_data", wav);
  const auto run = EncodeWav(dir, wav);
  ASSERT_EQ(run.result, 1);
  EXPECT_EQ(run.preview, samples);
  const auto records = ParseTarpelStream(run.code);
  EXPECT_EQ(CodedSamples(records), 1000u);
  EXPECT_EQ(Markers(records).size(), 2u);
}

TEST(EncoderWalk, DataChunkLongerThanTheFileEndsAtTheFileEnd) {
  // Mended: a truncated file is a short read, not a read of whatever lies past the end.
  TempDir dir;
  auto samples = Loud(3001);
  auto wav = SimpleWav(16000, samples);
  wav.resize(wav.size() - 2 * 1000 - 1);  // cut inside a sample
  samples.resize(2000);
  const auto run = EncodeWav(dir, wav);
  ASSERT_EQ(run.result, 1);
  EXPECT_EQ(run.preview, samples);
  EXPECT_EQ(run.code.at(0) | (run.code.at(1) << 8), 3001);
}

// ---------------------------------------------------------------------------------------------------
// First-stage silence detection and the threshold

std::vector<std::int16_t> QuietThenLoud(std::size_t quiet, std::int16_t level, std::size_t loud) {
  std::vector<std::int16_t> s;
  for (std::size_t i = 0; i < quiet; ++i) s.push_back(i % 2 ? level : static_cast<std::int16_t>(-level));
  const auto tail = Loud(loud);
  s.insert(s.end(), tail.begin(), tail.end());
  return s;
}

TEST(EncoderSilence, TenQuietSamplesStartWithASilenceRecordNineDoNot) {
  TempDir dir;
  const auto ten = EncodeWav(dir, SimpleWav(16000, QuietThenLoud(10, 3, 100)));
  ASSERT_EQ(ten.result, 1);
  auto records = ParseTarpelStream(ten.code);
  ASSERT_GE(records.size(), 2u);
  EXPECT_EQ(records[0].bytes, (ByteVector{0x00, 0x0A, 0x40}));
  EXPECT_EQ(records[1].kind, Kind::kBlock);
  EXPECT_EQ(records[1].length, 100u);
  auto expected_preview = QuietThenLoud(10, 3, 100);
  std::fill(expected_preview.begin(), expected_preview.begin() + 10, 0);
  EXPECT_EQ(ten.preview, expected_preview);
  // No progress report after a silence record: only the block's and the segment's.
  EXPECT_EQ(ten.progress, (std::vector<ProgressCall>{{1, 100}, {1, 100}}));

  const auto nine = EncodeWav(dir, SimpleWav(16000, QuietThenLoud(9, 3, 100)));
  ASSERT_EQ(nine.result, 1);
  records = ParseTarpelStream(nine.code);
  ASSERT_GE(records.size(), 1u);
  EXPECT_EQ(records[0].kind, Kind::kBlock);
  EXPECT_EQ(nine.preview, QuietThenLoud(9, 3, 100));
}

TEST(EncoderSilence, ThresholdsUpToFourActAsFour) {
  TempDir dir;
  // Samples of +-4 are loud at A = 4 and quiet at A = 5.
  const auto wav = SimpleWav(16000, QuietThenLoud(40, 4, 200));
  TarpelOptions options;
  options.threshold = 4;
  const auto reference = EncodeWav(dir, wav, options);
  ASSERT_EQ(reference.result, 1);
  EXPECT_EQ(ParseTarpelStream(reference.code).at(0).kind, Kind::kBlock);
  for (std::uint32_t a : {0u, 1u, 2u, 3u}) {
    options.threshold = a;
    const auto run = EncodeWav(dir, wav, options);
    EXPECT_EQ(run.code, reference.code) << a;
  }
  options.threshold = 5;
  const auto five = EncodeWav(dir, wav, options);
  EXPECT_EQ(ParseTarpelStream(five.code).at(0).bytes, (ByteVector{0x00, 40, 0x40}));
  // A threshold beyond the sample range makes everything silent and must not wrap.
  options.threshold = 0xFFFFFFFFu;
  const auto all = EncodeWav(dir, wav, options);
  EXPECT_EQ(ParseTarpelStream(all.code).at(0).bytes, (ByteVector{0x00, 240, 0x40}));
}

// ---------------------------------------------------------------------------------------------------
// Arguments and output naming

TEST(EncoderArguments, EmptyTextsFailWithoutCreatingFiles) {
  TempDir dir;
  WriteFileBytes(dir.File("in.wav"), SimpleWav(16000, Loud(100)));
  const std::string in = dir.File("in.wav");
  const std::string out = dir.File("out.COD");
  EXPECT_EQ(TARPEL(out.c_str(), in.c_str(), "", "8", 0, 0, nullptr, 0), 0);
  EXPECT_EQ(TARPEL(out.c_str(), in.c_str(), "12000000", "", 0, 0, nullptr, 0), 0);
  EXPECT_EQ(TARPEL(out.c_str(), "", "12000000", "8", 0, 0, nullptr, 0), 0);
  EXPECT_EQ(TARPEL(out.c_str(), in.c_str(), nullptr, "8", 0, 0, nullptr, 0), 0);
  EXPECT_EQ(TARPEL(out.c_str(), nullptr, "12000000", "8", 0, 0, nullptr, 0), 0);
  EXPECT_EQ(TARPEL(out.c_str(), in.c_str(), "12000000", nullptr, 0, 0, nullptr, 0), 0);
  EXPECT_FALSE(fs::exists(out));
  EXPECT_FALSE(fs::exists(out + ".PCM"));
  // A null output path is an empty one: the names come from the input.
  EXPECT_EQ(TARPEL(nullptr, in.c_str(), "12000000", "8", 0, 0, nullptr, 0), 1);
  EXPECT_TRUE(fs::exists(dir.File("in.COD")));
}

TEST(EncoderArguments, EmptyOutputDerivesNamesFromTheInput) {
  TempDir dir;
  fs::create_directories(dir.path() / "sub.d");
  for (const char* name : {"song.wav", "sub.d/take.two.wav", "sub.d/noext"}) {
    WriteFileBytes(dir.File(name), SimpleWav(16000, Loud(10)));
  }
  EXPECT_EQ(RunTarpel("", dir.File("song.wav")).result, 1);
  EXPECT_TRUE(fs::exists(dir.path() / "song.COD"));
  EXPECT_TRUE(fs::exists(dir.path() / "song.COD.PCM"));
  EXPECT_EQ(RunTarpel("", dir.File("sub.d/take.two.wav")).result, 1);
  EXPECT_TRUE(fs::exists(dir.path() / "sub.d/take.two.COD"));
  // The last "." may stand in a folder name: the name is cut there all the same.
  EXPECT_EQ(RunTarpel("", dir.File("sub.d/noext")).result, 1);
  EXPECT_TRUE(fs::exists(dir.path() / "sub.COD"));
  EXPECT_TRUE(fs::exists(dir.path() / "sub.COD.PCM"));
}

// Runs the encoder with the temporary folder as the working directory, for relative paths.
class InDirectory {
 public:
  explicit InDirectory(const fs::path& dir) : saved_(fs::current_path()) { fs::current_path(dir); }
  ~InDirectory() { fs::current_path(saved_); }

 private:
  fs::path saved_;
};

TEST(EncoderArguments, CommaAtIndexTwoOrLaterEndsTheInputPath) {
  TempDir dir;
  const auto samples = Loud(64);
  WriteFileBytes(dir.File("in.wav"), SimpleWav(16000, samples));
  WriteFileBytes(dir.File("a,b.wav"), SimpleWav(16000, Loud(32)));
  InDirectory here(dir.path());
  // "in.wav,extra" opens in.wav and derives in.COD from the cut path.
  auto run = RunTarpel("", "in.wav,extra");
  EXPECT_EQ(run.result, 1);
  EXPECT_TRUE(fs::exists("in.COD"));
  EXPECT_EQ(Int16s(ReadFileBytes("in.COD.PCM")), samples);
  // The first comma of "a,b.wav" stands at index 1: the path is used unchanged.
  run = RunTarpel("x.COD", "a,b.wav");
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(run.preview, Loud(32));
}

// ---------------------------------------------------------------------------------------------------
// Failures: result and the state of both outputs

void ExpectEmptyOutputs(const TarpelRun& run) {
  EXPECT_TRUE(run.code_exists);
  EXPECT_TRUE(run.preview_exists);
  EXPECT_TRUE(run.code.empty());
  EXPECT_TRUE(run.preview.empty());
}

TEST(EncoderFailures, NotAWaveFile) {
  TempDir dir;
  // RIFF of another form.
  auto run = EncodeWav(dir, Riff({PcmFmt(16000), Chunk("data", SampleBytes(Loud(100)))}, "AVI "));
  EXPECT_EQ(run.result, 0);
  ExpectEmptyOutputs(run);
  // Mended: a file that does not start with a RIFF header at all, even with a RIFF chunk later on.
  ByteVector junk_first = Chunk("JUNK", {0, 0, 0, 0});
  PutBytes(junk_first, SimpleWav(16000, Loud(100)));
  SaveFuzzSeed("junk_first", junk_first);
  run = EncodeWav(dir, junk_first);
  EXPECT_EQ(run.result, 0);
  ExpectEmptyOutputs(run);
  for (const ByteVector& tiny : {ByteVector{}, ByteVector{'R', 'I', 'F'}, ByteVector{'R', 'I', 'F', 'F', 4, 0, 0, 0}}) {
    run = EncodeWav(dir, tiny);
    EXPECT_EQ(run.result, 0) << tiny.size();
    ExpectEmptyOutputs(run);
  }
}

TEST(EncoderFailures, AdtlWithoutListOfNonZeroSize) {
  TempDir dir;
  auto run =
      EncodeWav(dir, WavWith({PcmFmt(16000), Chunk("adtl", LablChunk(1, "1")), Chunk("data", SampleBytes(Loud(10)))}));
  EXPECT_EQ(run.result, 0);
  ExpectEmptyOutputs(run);
  run = EncodeWav(dir, WavWith({PcmFmt(16000), ChunkWithSize("LIST", 0, AdtlBody({LablChunk(1, "1")})),
                                Chunk("data", SampleBytes(Loud(10)))}));
  EXPECT_EQ(run.result, 0);
  ExpectEmptyOutputs(run);
}

TEST(EncoderFailures, NotSixteenBitOrNoFormatGivesTwo) {
  TempDir dir;
  auto run = EncodeWav(dir, WavWith({PcmFmt(16000, 1, 8), Chunk("data", ByteVector(100, 0x80))}));
  EXPECT_EQ(run.result, 2);
  ExpectEmptyOutputs(run);
  run = EncodeWav(dir, WavWith({Chunk("data", SampleBytes(Loud(10)))}));
  EXPECT_EQ(run.result, 2);
  ExpectEmptyOutputs(run);
}

TEST(EncoderFailures, SampleRateZeroFailsCleanly) {
  // Mended: the timer values divide by the rate.
  TempDir dir;
  const auto wav = SimpleWav(0, Loud(100));
  SaveFuzzSeed("rate_zero", wav);
  const auto run = EncodeWav(dir, wav);
  EXPECT_EQ(run.result, 0);
  ExpectEmptyOutputs(run);
}

TEST(EncoderFailures, MissingInputCreatesNothing) {
  TempDir dir;
  const auto run = RunTarpel(dir.File("out.COD"), dir.File("absent.wav"));
  EXPECT_EQ(run.result, 0);
  EXPECT_FALSE(run.code_exists);
  EXPECT_FALSE(run.preview_exists);
  // A folder is no input file either.
  EXPECT_EQ(RunTarpel(dir.File("out.COD"), dir.path().string()).result, 0);
}

TEST(EncoderFailures, OutputsThatCannotBeCreated) {
  TempDir dir;
  WriteFileBytes(dir.File("in.wav"), SimpleWav(16000, Loud(100)));
  EXPECT_EQ(RunTarpel(dir.File("no/such/dir/out.COD"), dir.File("in.wav")).result, 0);
  // The code file can be created, the preview file cannot (a folder has its name): the code file is
  // left empty.
  fs::create_directories(dir.path() / "x.COD.PCM");
  const auto run = RunTarpel(dir.File("x.COD"), dir.File("in.wav"));
  EXPECT_EQ(run.result, 0);
  EXPECT_TRUE(run.code_exists);
  EXPECT_TRUE(run.code.empty());
}

TEST(EncoderFailures, OutputNamedLikeTheInputLeavesTheInputAlone) {
  TempDir dir;
  const auto wav = SimpleWav(16000, Loud(100));
  WriteFileBytes(dir.File("in.wav"), wav);
  EXPECT_EQ(RunTarpel(dir.File("in.wav"), dir.File("in.wav")).result, 0);
  EXPECT_EQ(ReadFileBytes(dir.File("in.wav")), wav);
}

TEST(EncoderFailures, WriteErrorPartWayLeavesBothOutputsEmpty) {
  // The code file goes to a device that refuses every write; the preview must not keep what it got.
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  TempDir dir;
  std::error_code ec;
  fs::create_symlink("/dev/full", dir.path() / "full.COD", ec);
  if (ec) GTEST_SKIP() << "no symbolic links here";
  WriteFileBytes(dir.File("in.wav"), SimpleWav(16000, Sine(200000, 300, 16000, 8000)));
  const auto run = RunTarpel(dir.File("full.COD"), dir.File("in.wav"));
  EXPECT_EQ(run.result, 0);
  EXPECT_TRUE(run.preview_exists);
  EXPECT_TRUE(run.preview.empty());
}

// ---------------------------------------------------------------------------------------------------
// Hostile input: never a crash, a hang or a read outside the file (the sanitizer build watches the
// reads); whatever fails leaves both outputs empty.

void ExpectSaneOutcome(const TarpelRun& run, const std::string& what) {
  ASSERT_TRUE(run.result == 0 || run.result == 1 || run.result == 2) << what;
  if (run.result != 1) {
    EXPECT_TRUE(run.code.empty()) << what;
    EXPECT_TRUE(run.preview.empty()) << what;
  } else {
    ParseTarpelStream(run.code);
  }
}

TEST(EncoderHostile, EveryTruncationOfAFileWithRegions) {
  TempDir dir;
  const auto wav =
      WavWith({Chunk("fmt ", FmtBody(1, 1, 16000, 16, true, 0)), Chunk("cue ", CueBody({5, 20, 30})),
               Chunk("LIST", AdtlBody({LablChunk(1, "12"), LtxtChunk(1, 30), LablChunk(2, "7"), LtxtChunk(2, 5)})),
               Chunk("JUNK", {1, 2, 3}), Chunk("data", SampleBytes(Sine(40, 700, 16000, 9000)))});
  for (std::size_t cut = 0; cut <= wav.size(); ++cut) {
    const auto run = EncodeWav(dir, ByteVector(wav.begin(), wav.begin() + static_cast<std::ptrdiff_t>(cut)));
    ExpectSaneOutcome(run, "cut at " + std::to_string(cut));
    if (HasFatalFailure()) return;
  }
}

TEST(EncoderHostile, AbsurdSizesAndCounts) {
  TempDir dir;
  const auto data = Chunk("data", SampleBytes(Loud(50)));
  ByteVector huge_cue_count;
  PutU32(huge_cue_count, 0xFFFFFFFFu);
  PutBytes(huge_cue_count, CueBody({10}));
  ByteVector tiny_labl;  // a labl whose size is below its identifier's four bytes
  PutTag(tiny_labl, "adtl");
  PutTag(tiny_labl, "labl");
  PutU32(tiny_labl, 1);
  PutU32(tiny_labl, 1);
  const std::vector<std::pair<std::string, ByteVector>> files = {
      {"riff size 0", [&] {
         auto w = SimpleWav(16000, Loud(50));
         w[4] = w[5] = w[6] = w[7] = 0;
         return w;
       }()},
      {"riff size max", [&] {
         auto w = SimpleWav(16000, Loud(50));
         w[4] = w[5] = w[6] = w[7] = 0xFF;
         return w;
       }()},
      {"data size max", WavWith({PcmFmt(16000), ChunkWithSize("data", 0xFFFFFFFFu, SampleBytes(Loud(50)), false)})},
      {"fmt size max", WavWith({ChunkWithSize("fmt ", 0xFFFFFFFFu, FmtBody(1, 1, 16000, 16), false), data})},
      {"fmt size 2", WavWith({ChunkWithSize("fmt ", 2, FmtBody(1, 1, 16000, 16), false), data})},
      {"cue count max", WavWith({PcmFmt(16000), Chunk("cue ", huge_cue_count), data})},
      {"cue size max", WavWith({PcmFmt(16000), ChunkWithSize("cue ", 0xFFFFFFFFu, CueBody({1, 2}), false), data})},
      {"cue size 0", WavWith({PcmFmt(16000), ChunkWithSize("cue ", 0, {}, false), data})},
      {"list size max", WavWith({PcmFmt(16000), data, ChunkWithSize("LIST", 0xFFFFFFFFu, AdtlBody({LablChunk(1, "1")}))})},
      {"list size 4", WavWith({PcmFmt(16000), ChunkWithSize("LIST", 4, AdtlBody({LablChunk(1, "1")}), false), data})},
      {"labl size 1", WavWith({PcmFmt(16000), Chunk("cue ", CueBody({10})), data, Chunk("LIST", tiny_labl)})},
      {"sub-chunk size max",
       WavWith({PcmFmt(16000), data, Chunk("LIST", AdtlBody({ChunkWithSize("ltxt", 0xFFFFFFFFu, {1, 2, 3, 4})}))})},
      {"cue positions max", WavWith({PcmFmt(16000), Chunk("cue ", CueBody({0xFFFFFFFFu, 0xFFFFFFF0u})),
                                     Chunk("LIST", AdtlBody({LtxtChunk(1, 0xFFFFFFFFu), LtxtChunk(2, 0x20u)})), data})},
      {"rate max", WavWith({Chunk("fmt ", FmtBody(1, 1, 0xFFFFFFFFu, 16)), data})},
      {"rate wraps the prescaler divisor", WavWith({Chunk("fmt ", FmtBody(1, 1, 0x20000000u, 16)), data})},
      {"second riff of another form", [&] {
         auto w = SimpleWav(16000, Loud(50));
         PutBytes(w, Riff({PcmFmt(8000)}, "AVI "));
         return w;
       }()},
  };
  for (const auto& [what, wav] : files) {
    SaveFuzzSeed("hostile_" + std::to_string(&what - &files.front().first), wav);
    ExpectSaneOutcome(EncodeWav(dir, wav), what);
  }
  // Three of them in detail: a data size beyond the file codes the samples there are; cue positions
  // past the data code nothing more; a rate whose prescaler divisor wraps in 32 bits still gives a header.
  EXPECT_EQ(EncodeWav(dir, files[2].second).preview, Loud(50));
  EXPECT_EQ(EncodeWav(dir, files[12].second).preview, Loud(50));
  const auto wrapped = EncodeWav(dir, files[14].second);
  ASSERT_EQ(wrapped.result, 1);
  EXPECT_EQ(ByteVector(wrapped.code.begin() + 3, wrapped.code.begin() + 10),
            (ByteVector{0xFB, 0x5A, 0x00, 0x00, 0x00, 0x00, 0x07}));
}

}  // namespace
}  // namespace velkin::test
