// Reading every PCM WAV: a worked example of each sample width and kind (values at the edges of the
// range), extensible records, the markers, the refusals with what each names, and files that end
// early or declare far more than they hold.
#include <gtest/gtest.h>

#include <bit>
#include <string>
#include <vector>

#include "sound/wave_audio.h"
#include "tests/support/wav_builder.h"

namespace velkin::test {
namespace {

using sound::SampleType;
using sound::WaveAudio;

std::optional<WaveAudio> Read(const ByteVector& file, std::string* reason = nullptr) {
  std::string error;
  auto audio = sound::ReadWaveAudio(file, error);
  if (reason) *reason = error;
  return audio;
}

std::string Refusal(const ByteVector& file) {
  std::string error;
  EXPECT_FALSE(Read(file, &error));
  return error;
}

ByteVector Wav(const ByteVector& fmt_body, const ByteVector& data) {
  return Riff({Chunk("fmt ", fmt_body), Chunk("data", data)});
}

void PutF32(ByteVector& b, float v) {
  PutU32(b, std::bit_cast<std::uint32_t>(v));
}

TEST(SoundRead, EverySampleWidthReadsItsWorkedExample) {
  struct Case {
    const char* what;
    ByteVector file;
    SampleType type;
    std::vector<float> samples;
  };
  ByteVector f32;
  for (float v : {0.25f, -1.5f, 1.0f}) PutF32(f32, v);
  ByteVector f64;
  for (double v : {-0.5, 0.125}) {
    const auto bits = std::bit_cast<std::uint64_t>(v);
    PutU32(f64, static_cast<std::uint32_t>(bits));
    PutU32(f64, static_cast<std::uint32_t>(bits >> 32));
  }
  const std::vector<Case> cases = {
      {"8-bit unsigned",
       Wav(FmtBody(1, 1, 8000, 8), {0, 128, 255, 64}),
       SampleType::kUnsigned8,
       {-1.0f, 0.0f, 127.0f / 128, -0.5f}},
      {"16-bit",
       Wav(FmtBody(1, 1, 8000, 16), SampleBytes({-32768, 0, 32767, 1})),
       SampleType::kSigned16,
       {-1.0f, 0.0f, 32767.0f / 32768, 1.0f / 32768}},
      {"24-bit",
       Wav(FmtBody(1, 1, 8000, 24), {0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0x01, 0x00, 0x00, 0xFF, 0xFF, 0xFF}),
       SampleType::kSigned24,
       {-1.0f, 8388607.0f / 8388608, 1.0f / 8388608, -1.0f / 8388608}},
      {"32-bit",
       Wav(FmtBody(1, 1, 8000, 32), {0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x40, 0x00, 0x01, 0x00, 0x00}),
       SampleType::kSigned32,
       {-1.0f, 0.5f, 256.0f / 2147483648.0f}},
      {"32-bit float", Wav(FmtBody(3, 1, 8000, 32), f32), SampleType::kFloat32, {0.25f, -1.5f, 1.0f}},
      {"64-bit float", Wav(FmtBody(3, 1, 8000, 64), f64), SampleType::kFloat64, {-0.5f, 0.125f}},
      // Two channels stay interleaved, frame by frame.
      {"16-bit stereo",
       Wav(FmtBody(1, 2, 8000, 16), SampleBytes({100, -100, 200, -200})),
       SampleType::kSigned16,
       {100.0f / 32768, -100.0f / 32768, 200.0f / 32768, -200.0f / 32768}},
      // Extensible: 20 valid bits in 24-bit containers, and float.
      {"extensible 24-bit",
       Wav(ExtensibleFmtBody(1, 1, 48000, 24, 20), {0x00, 0x00, 0x80, 0x00, 0x10, 0x00}),
       SampleType::kSigned24,
       {-1.0f, 4096.0f / 8388608}},
      {"extensible float",
       Wav(ExtensibleFmtBody(3, 2, 44100, 32, 32), ByteVector(f32.begin(), f32.begin() + 8)),
       SampleType::kFloat32,
       {0.25f, -1.5f}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string error;
    const auto audio = Read(c.file, &error);
    ASSERT_TRUE(audio) << error;
    EXPECT_EQ(audio->format.type, c.type);
    EXPECT_EQ(audio->samples, c.samples);
    EXPECT_EQ(audio->frames * audio->format.channels, c.samples.size());
    EXPECT_FALSE(audio->Truncated());
  }
  const auto ext = Read(cases[7].file);
  ASSERT_TRUE(ext);
  EXPECT_TRUE(ext->format.extensible);
  EXPECT_EQ(ext->format.validBits, 20);
  EXPECT_EQ(ext->format.rate, 48000u);
}

TEST(SoundRead, RefusalsNameWhatIsWrong) {
  const ByteVector data = ByteVector(64, 1);
  ByteVector foreign_guid = ExtensibleFmtBody(1, 1, 16000, 16, 16);
  foreign_guid.back() ^= 0xFF;
  ByteVector short_extension = FmtBody(0xFFFE, 1, 16000, 16, true, 10, ByteVector(10, 0));
  ByteVector bad_align = FmtBody(1, 2, 16000, 16);
  bad_align[12] = 3;
  const std::vector<std::pair<ByteVector, std::string>> cases = {
      {ByteVector{'t', 'e', 'x', 't'}, "not a WAV file (no RIFF WAVE header)"},
      {Riff({Chunk("data", data)}), "not a WAV file (no format chunk)"},
      {Riff({Chunk("fmt ", ByteVector(12, 1)), Chunk("data", data)}), "the format chunk is too short"},
      {Riff({PcmFmt(16000)}), "no data chunk"},
      {Wav(FmtBody(2, 1, 16000, 4), data), "not PCM or float audio (format tag 2)"},
      {Wav(ExtensibleFmtBody(2, 1, 16000, 16, 16), data), "not PCM or float audio (extensible sub-format tag 2)"},
      {Wav(foreign_guid, data), "not PCM or float audio (extensible sub-format 00000001-0000-0010-8000-00AA00389B8E)"},
      {Wav(short_extension, data), "the extensible format record is too short (10 of 22 bytes)"},
      {Wav(ExtensibleFmtBody(1, 1, 16000, 16, 17), data), "the valid bits 17 do not fit 16-bit samples"},
      {Wav(FmtBody(1, 1, 16000, 12), data), "12-bit PCM samples are not supported (8, 16, 24 or 32 bits are)"},
      {Wav(FmtBody(3, 1, 16000, 16), data), "16-bit float samples are not supported (32 or 64 bits are)"},
      {Wav(FmtBody(1, 0, 16000, 16), data), "the format gives no channels"},
      {Wav(FmtBody(1, 257, 16000, 16), data), "257 channels is more than 256: the format record looks damaged"},
      {Wav(bad_align, data), "the block alignment 3 does not match 2 channels of 16 bits (4 bytes per frame)"},
      {Wav(FmtBody(1, 1, 999, 16), data), "the sample rate 999 Hz is outside 1000 to 384000 Hz"},
      {Wav(FmtBody(1, 1, 384001, 16), data), "the sample rate 384001 Hz is outside 1000 to 384000 Hz"},
  };
  for (const auto& [file, reason] : cases) EXPECT_EQ(Refusal(file), reason);
  // The bounds themselves are rates.
  EXPECT_TRUE(Read(Wav(FmtBody(1, 1, 1000, 16), data)));
  EXPECT_TRUE(Read(Wav(FmtBody(1, 1, 384000, 16), data)));
  std::string error;
  EXPECT_FALSE(sound::ReadWaveAudio(std::filesystem::path("no-such-file.wav"), error));
  EXPECT_EQ(error, "the file does not exist");
}

TEST(SoundRead, AShortFileIsReadAsFarAsItGoesAndSaysHowFar) {
  // 1.26 s declared at 16 kHz, 0.15 s there.
  const std::vector<std::int16_t> held(2400, 7);
  const ByteVector file = Riff({PcmFmt(16000), ChunkWithSize("data", 20160 * 2, SampleBytes(held))});
  const auto audio = Read(file);
  ASSERT_TRUE(audio);
  EXPECT_EQ(audio->frames, 2400u);
  EXPECT_EQ(audio->declaredFrames, 20160u);
  EXPECT_TRUE(audio->Truncated());
  EXPECT_EQ(sound::TruncationNote(*audio), "the file ends after 0.15 s of its 1.26 s");
  EXPECT_EQ(sound::TruncationNote(*Read(SimpleWav(16000, held))), "");
}

TEST(SoundRead, AHugeDeclaredSizeAllocatesOnlyWhatTheFileHolds) {
  // About 2 KB of file whose data chunk claims nearly 4 GiB of 8-bit samples (and whose cue chunk
  // claims four billion points).
  ByteVector cue = CueBody({0});
  cue[0] = cue[1] = cue[2] = cue[3] = 0xFF;
  const ByteVector file =
      Riff({PcmFmt(8000, 1, 8), Chunk("cue ", cue), ChunkWithSize("data", 0xFFFFFFF0u, ByteVector(2000, 0x90))});
  ASSERT_LT(file.size(), 2100u);
  const auto audio = Read(file);
  ASSERT_TRUE(audio);
  EXPECT_EQ(audio->frames, 2000u);
  EXPECT_EQ(audio->samples.size(), 2000u);
  EXPECT_EQ(audio->declaredFrames, 0xFFFFFFF0u);
  EXPECT_EQ(audio->markers.size(), 1u);
  EXPECT_EQ(sound::TruncationNote(*audio), "the file ends after 0.25 s of its 536870.91 s");
}

}  // namespace
}  // namespace velkin::test
