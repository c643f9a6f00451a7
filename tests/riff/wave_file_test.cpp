// The WAVE walk (the step each damaged file fails at), the marker reader (cue points joined with
// their labels and lengths by identifier, bounded by what the file holds) and the 16-bit writer
// (its exact layout, and reading its own markers back).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "riff/wave_file.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wav_builder.h"

namespace velkin::test {
namespace {

using riff::Marker;
using riff::WaveStep;

WaveStep Walk(const ByteVector& file, riff::WaveChunks* out = nullptr) {
  auto reader = riff::Reader::FromMemory(file);
  riff::WaveChunks chunks;
  const WaveStep step = riff::FindWaveChunks(*reader, chunks);
  if (out) *out = chunks;
  return step;
}

std::vector<Marker> Markers(const ByteVector& file) {
  auto reader = riff::Reader::FromMemory(file);
  riff::WaveChunks chunks;
  EXPECT_NE(riff::FindWaveChunks(*reader, chunks), WaveStep::kNoWaveRiff);
  return riff::ReadWaveMarkers(*reader, chunks.riff);
}

TEST(WaveWalk, NamesTheStepThatFailed) {
  const ByteVector data = Chunk("data", SampleBytes({1, 2, 3}));
  EXPECT_EQ(Walk({'t', 'e', 'x', 't'}), WaveStep::kNoWaveRiff);
  EXPECT_EQ(Walk(Riff({PcmFmt(8000), data}, "AVI ")), WaveStep::kNoWaveRiff);
  EXPECT_EQ(Walk(Riff({data})), WaveStep::kNoFormat);
  EXPECT_EQ(Walk(Riff({PcmFmt(8000)})), WaveStep::kNoData);
  EXPECT_EQ(Walk(Riff({data, PcmFmt(8000)})), WaveStep::kNoData);  // searched forward from the format only

  riff::WaveChunks chunks;
  ASSERT_EQ(Walk(Riff({Chunk("LIST", AdtlBody({})), PcmFmt(22050, 2), data}), &chunks), WaveStep::kFound);
  EXPECT_EQ(chunks.record.format.nChannels, 2);
  EXPECT_EQ(chunks.record.format.nSamplesPerSec, 22050u);
  EXPECT_TRUE(chunks.RecordComplete());
  EXPECT_EQ(chunks.data.size, 6u);
  EXPECT_EQ(chunks.dataHeld, 6u);
}

TEST(WaveWalk, ShortRecordsAndShortDataAreReportedNotRefused) {
  // The file ends 6 bytes into the 16-byte record: the walk goes on and says so.
  ByteVector cut = Riff({PcmFmt(8000)});
  cut.resize(cut.size() - 6);
  riff::WaveChunks chunks;
  EXPECT_EQ(Walk(cut, &chunks), WaveStep::kNoData);
  EXPECT_EQ(chunks.recordBytes, 10u);
  EXPECT_FALSE(chunks.RecordComplete());
  // A data chunk that claims far more than the file holds: the held bytes are what is there.
  ASSERT_EQ(Walk(Riff({PcmFmt(8000), ChunkWithSize("data", 0xFFFFFFF0u, ByteVector(100, 1))}), &chunks),
            WaveStep::kFound);
  EXPECT_EQ(chunks.data.size, 0xFFFFFFF0u);
  EXPECT_EQ(chunks.dataHeld, 100u);
}

TEST(WaveMarkers, JoinsLabelsAndLengthsToCuePointsByIdentifier) {
  ByteVector cue;
  PutU32(cue, 3);
  for (const auto& [id, position] : std::vector<std::pair<std::uint32_t, std::uint32_t>>{{7, 300}, {2, 10}, {9, 50}}) {
    PutU32(cue, id);
    PutU32(cue, position);
    PutTag(cue, "data");
    PutU32(cue, 0);
    PutU32(cue, 0);
    PutU32(cue, position);
  }
  ByteVector info;
  PutTag(info, "INFO");
  PutBytes(info, Chunk("INAM", {'x', 0}));
  const ByteVector file = Riff({PcmFmt(8000), Chunk("data", SampleBytes(std::vector<std::int16_t>(400))),
                                Chunk("cue ", cue), Chunk("LIST", info),
                                Chunk("LIST", AdtlBody({LablChunk(2, "two"), LtxtChunk(7, 25), LablChunk(7, "seven!"),
                                                        LablChunk(4, "no such cue")}))});
  EXPECT_EQ(Markers(file), (std::vector<Marker>{{7, 300, 25, "seven!"}, {2, 10, 0, "two"}, {9, 50, 0, ""}}));
  EXPECT_TRUE(Markers(SimpleWav(8000, {1, 2})).empty());
}

TEST(WaveMarkers, ACountTheFileDoesNotHoldReadsOnlyWhatIsThere) {
  ByteVector cue = CueBody({5, 6});
  PutU32(cue, 0);                            // half a third record
  cue[0] = cue[1] = cue[2] = cue[3] = 0xFF;  // count 4294967295
  const ByteVector file = Riff({PcmFmt(8000), Chunk("data", SampleBytes({1})), Chunk("cue ", cue)});
  EXPECT_EQ(Markers(file), (std::vector<Marker>{{1, 5, 0, ""}, {2, 6, 0, ""}}));
  // The file ends two bytes after the count of a chunk that claims 52: nothing is read or reserved.
  const ByteVector ended = Riff(
      {PcmFmt(8000), Chunk("data", SampleBytes({1})), ChunkWithSize("cue ", 52, {0xFE, 0xF8, 0x00, 0x22, 0x23, 0x00})});
  EXPECT_TRUE(Markers(ended).empty());
  // A label without its terminating zero, cut by the end of the file.
  ByteVector cut = Riff({PcmFmt(8000), Chunk("data", SampleBytes({1})), Chunk("cue ", CueBody({0})),
                         Chunk("LIST", AdtlBody({LablChunk(1, "abcdef")}))});
  cut.resize(cut.size() - 3);
  EXPECT_EQ(Markers(cut), (std::vector<Marker>{{1, 0, 0, "abcde"}}));
}

TEST(WaveWriter, WritesThePlainLayoutAndMarkersAfterTheData) {
  const std::vector<std::int16_t> samples = {1, -2, 3, -4};
  // Without markers: exactly the 44-byte header and the samples.
  EXPECT_EQ(riff::Pcm16WaveBytes({.rate = 16000, .samples = samples}), SimpleWav(16000, samples));
  EXPECT_EQ(riff::Pcm16WaveBytes({.rate = 8000, .channels = 2, .samples = samples}), SimpleWav(8000, samples, 2));

  const std::vector<Marker> markers = {{1, 0, 2, "12"}, {2, 3, 0, ""}};
  const ByteVector cue = CueBody({0, 3});
  const ByteVector want = Riff({PcmFmt(16000), Chunk("data", SampleBytes(samples)), Chunk("cue ", cue),
                                Chunk("LIST", AdtlBody({LtxtChunk(1, 2), LablChunk(1, "12"), LtxtChunk(2, 0)}))});
  const ByteVector got = riff::Pcm16WaveBytes({.rate = 16000, .samples = samples, .markers = markers});
  EXPECT_EQ(got, want);
  EXPECT_EQ(Markers(got), markers);
}

TEST(WaveWriter, SavesTheSameBytesOrNothing) {
  TempDir dir;
  const std::vector<std::int16_t> samples = {7, 8, 9};
  const std::vector<Marker> markers = {{1, 2, 1, "x"}};
  const riff::Pcm16Wave wave{.rate = 11025, .samples = samples, .markers = markers};
  ASSERT_TRUE(riff::SavePcm16Wave(dir.File("a.wav"), wave));
  EXPECT_EQ(ReadFileBytes(dir.File("a.wav")), riff::Pcm16WaveBytes(wave));
  EXPECT_FALSE(riff::SavePcm16Wave(dir.File("no/such/folder.wav"), wave));
}

}  // namespace
}  // namespace velkin::test
