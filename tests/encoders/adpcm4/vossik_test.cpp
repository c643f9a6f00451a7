// The VOSSIK export as built (the shared library), on generated WAV files: code file and preview
// compared byte for byte with the model encoder, streams read back and decoded, and the edge cases
// of the block encoder at segment ends.
#include <gtest/gtest.h>

#include <velkin/vossik.h>

#include <cstdint>
#include <string>
#include <vector>

#include "encoders/adpcm4/adpcm_codec.h"
#include "tests/support/child_process.h"
#include "tests/support/program_paths.h"
#include "tests/support/signals/test_signals.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wav_builder.h"
#include "vossik_model.h"

namespace velkin::adpcm4::test {
namespace {

using velkin::test::ByteVector;
using velkin::test::kAllSignalKinds;
using velkin::test::MakeSignal;
using velkin::test::SignalKind;
using velkin::test::SignalName;
using velkin::test::SpeechLike;

struct Encoding {
  std::int32_t result = -1;
  std::vector<std::uint8_t> code;
  std::vector<std::int16_t> preview;
  std::vector<std::int32_t> progress;
};

std::vector<std::int32_t>* g_progress = nullptr;

std::int32_t VELKIN_CALL Progress(std::int32_t source, std::int32_t percent, std::intptr_t user) {
  EXPECT_EQ(source, 1);
  EXPECT_EQ(user, 4711);
  g_progress->push_back(percent);
  return 0;
}

Encoding Encode(const ByteVector& wav, std::uint32_t threshold = 0, const char* clock = "12000000") {
  velkin::test::TempDir dir;
  const std::string in = dir.File("in.wav");
  const std::string out = dir.File("out.cod");
  velkin::test::WriteFileBytes(in, wav);
  Encoding run;
  g_progress = &run.progress;
  run.result = VOSSIK(out.c_str(), in.c_str(), clock, "8", 0, threshold, Progress, 4711);
  g_progress = nullptr;
  run.code = velkin::test::ReadFileBytes(out);
  const ByteVector preview = velkin::test::ReadFileBytes(out + ".PCM");
  for (std::size_t i = 0; i + 1 < preview.size(); i += 2) {
    run.preview.push_back(static_cast<std::int16_t>(preview[i] | (preview[i + 1] << 8)));
  }
  return run;
}

std::vector<StreamRecord> Records(const Encoding& run, std::size_t header_bytes = 10) {
  std::vector<StreamRecord> records;
  std::string error;
  EXPECT_TRUE(ParseStream(run.code, header_bytes, records, error)) << error;
  return records;
}

// Every block decodes to its preview values (the first one stands for the header word), and the
// preview has one value per coded or removed sample.
void ExpectDecodesToPreview(const Encoding& run) {
  std::size_t at = 0;
  for (const StreamRecord& r : Records(run)) {
    if (r.kind == StreamRecord::Kind::kSilence) {
      for (std::uint32_t i = 0; i < r.run; ++i) ASSERT_EQ(run.preview.at(at + i), 0);
      at += r.run;
    } else if (r.kind == StreamRecord::Kind::kBlock) {
      const auto header = static_cast<std::uint16_t>(r.bytes[1] | (r.bytes[2] << 8));
      ASSERT_EQ(run.preview.at(at), ToSigned(header));
      for (std::size_t j = 1; j < r.decoded.size(); ++j) ASSERT_EQ(run.preview.at(at + j), ToSigned(r.decoded[j]));
      at += r.decoded.size();
    }
  }
  EXPECT_EQ(at, run.preview.size());
}

ModelInput Input(const std::vector<std::int16_t>& samples) {
  ModelInput input;
  input.samples = samples;
  return input;
}

void ExpectModelOutput(const Encoding& run, const ModelInput& input) {
  const ModelOutput expected = ModelEncode(input);
  ASSERT_EQ(run.result, 1);
  EXPECT_EQ(run.code, expected.code);
  EXPECT_EQ(run.preview, expected.preview);
  EXPECT_EQ(run.progress, expected.progress);
}

TEST(VossikExport, InputWithoutSamplesGivesHeaderAndEndOfStream) {
  const Encoding run = Encode(velkin::test::SimpleWav(16000, {}));
  ASSERT_EQ(run.result, 1);
  EXPECT_EQ(run.code,
            (std::vector<std::uint8_t>{0x00, 0x00, 0x00, 0x3B, 0x54, 0xA3, 0x00, 0x45, 0xFF, 0x07, 0x01, 0x00, 0x00}));
  EXPECT_TRUE(run.preview.empty());
  EXPECT_EQ(run.progress, std::vector<std::int32_t>{100});
}

TEST(VossikExport, ThreeSamplesAreOneBlockOfThree) {
  const std::vector<std::int16_t> samples = {5000, -7000, 12000};
  const Encoding run = Encode(velkin::test::SimpleWav(16000, samples));
  ExpectModelOutput(run, Input(samples));
  const auto records = Records(run);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].kind, StreamRecord::Kind::kBlock);
  EXPECT_EQ(records[0].bytes[0], 3);
  EXPECT_EQ(records[0].bytes.size(), 4u);
  EXPECT_EQ(run.preview.size(), 3u);
  ExpectDecodesToPreview(run);
}

TEST(VossikExport, TwoSamplesBecomeABlockOfThreeNotAnEscapeByte) {
  // The segment-end take-in would make this a block of 1 sample, whose length byte reads as the
  // escape byte 0x01: it is left out, the block codes the second sample twice.
  const std::vector<std::int16_t> samples = {3000, -3000};
  const Encoding run = Encode(velkin::test::SimpleWav(16000, samples));
  ExpectModelOutput(run, Input(samples));
  const auto records = Records(run);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].bytes[0], 3);
  EXPECT_EQ(run.preview.size(), 3u);
  ExpectDecodesToPreview(run);
}

TEST(VossikExport, ALoneSampleIsNotCoded) {
  const Encoding run = Encode(velkin::test::SimpleWav(16000, {1234}));
  ASSERT_EQ(run.result, 1);
  EXPECT_EQ(run.code,
            (std::vector<std::uint8_t>{0x01, 0x00, 0x00, 0x3B, 0x54, 0xA3, 0x00, 0x45, 0xFF, 0x07, 0x01, 0x00, 0x00}));
  EXPECT_TRUE(run.preview.empty());
}

TEST(VossikExport, NoBlockLengthByteIsEvenOrOne) {
  // Segment ends of every length from 2 to 40 samples after a full block.
  for (std::size_t tail = 2; tail <= 40; ++tail) {
    const auto samples = MakeSignal(SignalKind::kSine, 255 + tail, static_cast<std::uint32_t>(tail));
    const Encoding run = Encode(velkin::test::SimpleWav(16000, samples));
    ASSERT_EQ(run.result, 1);
    for (const StreamRecord& r : Records(run)) {
      if (r.kind == StreamRecord::Kind::kBlock) {
        EXPECT_EQ(r.bytes[0] % 2, 1) << "tail " << tail;
        EXPECT_GE(r.bytes[0], 3) << "tail " << tail;
      }
    }
    ExpectDecodesToPreview(run);
  }
}

TEST(VossikExport, SilenceRecordsAndRegionMarkersUseEscapeByte01) {
  // 100 silent samples, speech, a region around the middle with a label.
  std::vector<std::int16_t> samples(100, 0);
  const auto speech = SpeechLike(3000, 5);
  samples.insert(samples.end(), speech.begin(), speech.end());
  const ByteVector wav = velkin::test::Riff(
      {velkin::test::PcmFmt(16000), velkin::test::Chunk("cue ", velkin::test::CueBody({1500})),
       velkin::test::Chunk("LIST",
                           velkin::test::AdtlBody({velkin::test::LablChunk(1, "77"), velkin::test::LtxtChunk(1, 700)})),
       velkin::test::Chunk("data", velkin::test::SampleBytes(samples))});
  const Encoding run = Encode(wav);
  ModelInput input = Input(samples);
  input.events = {{0, 1, 1500, 77}, {0, 2, 2200, 77}};
  ExpectModelOutput(run, input);
  // 0x4000 + 100, little-endian, right after the header.
  ASSERT_GE(run.code.size(), 13u);
  EXPECT_EQ(std::vector<std::uint8_t>(run.code.begin() + 10, run.code.begin() + 13),
            (std::vector<std::uint8_t>{0x01, 0x64, 0x40}));
  const auto records = Records(run);
  std::vector<std::vector<std::uint8_t>> markers;
  for (const StreamRecord& r : records) {
    if (r.kind == StreamRecord::Kind::kMarker) markers.push_back(r.bytes);
  }
  EXPECT_EQ(markers, (std::vector<std::vector<std::uint8_t>>{{0x01, 0x01, 0x20, 77}, {0x01, 0x02, 0x20, 77}}));
  ExpectDecodesToPreview(run);
}

TEST(VossikExport, BlocksBeforeInnerSilenceKeepAtLeast15Samples) {
  // One loud sample, 20 silent ones, then sound: the silence cuts the first block, which still
  // takes 15 samples; later a longer stretch of sound before silence is cut right before it.
  std::vector<std::int16_t> samples = {9000};
  samples.insert(samples.end(), 20, 0);
  const auto sound = MakeSignal(SignalKind::kSine, 300, 3);
  samples.insert(samples.end(), sound.begin(), sound.begin() + 60);
  samples.insert(samples.end(), 30, 1);
  samples.insert(samples.end(), sound.begin(), sound.end());
  const Encoding run = Encode(velkin::test::SimpleWav(16000, samples));
  ExpectModelOutput(run, Input(samples));
  const auto records = Records(run);
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records[0].bytes[0], 15);
  ExpectDecodesToPreview(run);
}

TEST(VossikExport, ShortDataChunkEndsTheStreamNormally) {
  const auto samples = MakeSignal(SignalKind::kSpeech, 2000, 9);
  ByteVector wav = velkin::test::Riff(
      {velkin::test::PcmFmt(16000), velkin::test::ChunkWithSize("data", 6000, velkin::test::SampleBytes(samples))});
  const Encoding run = Encode(wav);
  ModelInput input;
  input.samples = samples;
  input.declared_samples = 3000;
  ExpectModelOutput(run, input);
}

TEST(VossikExport, FailsLikeTheOtherEncoder) {
  EXPECT_EQ(Encode(velkin::test::Riff({velkin::test::PcmFmt(16000, 1, 8), velkin::test::Chunk("data", {1, 2})})).result,
            2);
  EXPECT_EQ(Encode(velkin::test::Riff({velkin::test::Chunk("data", {1, 2})}, "AVI ")).result, 0);
  EXPECT_EQ(Encode(velkin::test::SimpleWav(16000, {1, 2, 3}), 0, "").result, 0);
}

TEST(VossikExport, VelkinDecodePlaysBackWhatThePlayerWould) {
  // Sound, silence, a region: velkin-decode (run as a program) gives the player's samples, which
  // are the preview's except for each block's first, which the player takes from the middle of
  // the header word's bucket.
  std::vector<std::int16_t> samples = SpeechLike(2500, 21);
  samples.insert(samples.end(), 300, 0);
  const auto more = SpeechLike(1200, 22);
  samples.insert(samples.end(), more.begin(), more.end());
  const ByteVector wav =
      velkin::test::Riff({velkin::test::PcmFmt(16000), velkin::test::Chunk("cue ", velkin::test::CueBody({1000})),
                          velkin::test::Chunk("LIST", velkin::test::AdtlBody({velkin::test::LablChunk(1, "5")})),
                          velkin::test::Chunk("data", velkin::test::SampleBytes(samples))});
  velkin::test::TempDir dir;
  velkin::test::WriteFileBytes(dir.File("in.wav"), wav);
  ASSERT_EQ(VOSSIK(dir.File("in.cod").c_str(), dir.File("in.wav").c_str(), "12000000", "8", 0, 0, nullptr, 0), 1);
  const ByteVector code = velkin::test::ReadFileBytes(dir.File("in.cod"));

  std::vector<std::int16_t> expected;
  std::vector<std::string> expected_lines = {""};
  std::vector<StreamRecord> records;
  std::string error;
  ASSERT_TRUE(ParseStream(code, 10, records, error)) << error;
  for (const StreamRecord& r : records) {
    if (r.kind == StreamRecord::Kind::kSilence) expected.insert(expected.end(), r.run, 0);
    if (r.kind == StreamRecord::Kind::kMarker) {
      expected_lines.push_back(std::string("region ") + (r.bytes[1] == 1 ? "start" : "end") + " cue 0 label 5 at " +
                               std::to_string(expected.size()));
    }
    for (std::uint16_t u : r.decoded) expected.push_back(ToSigned(u));
  }
  // A segment can end with one sample left uncoded (blocks have odd lengths).
  EXPECT_GE(expected.size(), 3998u);
  expected_lines[0] = "VOSSIK 16000 Hz, " + std::to_string(expected.size()) + " samples (header 4000)";
  ASSERT_EQ(expected_lines.size(), 3u);

  auto child = velkin::test::ChildProcess::Start(velkin::test::ProgramPath("velkin-decode"),
                                                 {dir.File("in.cod"), dir.File("out.wav")});
  ASSERT_TRUE(child);
  EXPECT_EQ(child->ReadAllLines(), expected_lines);
  ASSERT_EQ(child->Wait(), 0);
  const ByteVector out = velkin::test::ReadFileBytes(dir.File("out.wav"));
  std::vector<std::int16_t> played;
  for (std::size_t i = 44; i + 1 < out.size(); i += 2) {
    played.push_back(static_cast<std::int16_t>(out[i] | (out[i + 1] << 8)));
  }
  EXPECT_EQ(played, expected);
}

// Whole files of every kind, byte for byte.
class VossikSignals : public ::testing::TestWithParam<SignalKind> {};

TEST_P(VossikSignals, EncodeToTheModelBytesAndDecodeToThePreview) {
  std::vector<std::int16_t> samples = MakeSignal(GetParam(), 6000, 11);
  if (GetParam() == SignalKind::kSilence) {
    // True silence with short bursts of sound, so that silence records and inner cuts occur.
    const auto speech = SpeechLike(6000, 12);
    for (std::size_t i = 0; i < samples.size(); ++i) {
      if ((i / 700) % 3 == 1) samples[i] = speech[i];
    }
  }
  const Encoding run = Encode(velkin::test::SimpleWav(16000, samples));
  ExpectModelOutput(run, Input(samples));
  ExpectDecodesToPreview(run);
}

INSTANTIATE_TEST_SUITE_P(Kinds, VossikSignals, ::testing::ValuesIn(kAllSignalKinds), [](const auto& info) {
  std::string name = SignalName(info.param);
  std::erase(name, '-');
  return name;
});

}  // namespace
}  // namespace velkin::adpcm4::test
