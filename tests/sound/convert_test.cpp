// A WAV file at another rate with every channel kept, each channel on its own through the
// converter; and reading a file's format, lengths and markers without its samples.
#include <gtest/gtest.h>

#include <velkin/sondrel.h>

#include <bit>
#include <string>
#include <vector>

#include "sound/convert.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wav_builder.h"

namespace velkin::test {
namespace {

using riff::Marker;
using Samples = std::vector<std::int16_t>;

sound::WaveAudio Audio(const ByteVector& bytes) {
  std::string error;
  auto audio = sound::ReadWaveAudio(bytes, error);
  EXPECT_TRUE(audio) << error;
  return audio ? *audio : sound::WaveAudio{};
}

sound::ConvertedSound Convert(const ByteVector& bytes, std::uint32_t rate) {
  std::string error;
  auto converted = sound::ConvertRate(Audio(bytes), rate, error);
  EXPECT_TRUE(converted) << error;
  return converted ? *converted : sound::ConvertedSound{};
}

// What the converter's export makes of one channel given to it as a mono 16-bit file.
Samples ConverterAlone(const Samples& channel, std::uint32_t from, std::uint32_t to) {
  TempDir dir;
  WriteFileBytes(dir.File("in.wav"), SimpleWav(from, channel));
  EXPECT_EQ(ZOLT_WaveConverter(dir.File("in.wav").c_str(), dir.File("out.wav").c_str(), static_cast<float>(to)), 1);
  const auto out = Audio(ReadFileBytes(dir.File("out.wav")));
  Samples samples;
  for (const float v : out.samples) samples.push_back(static_cast<std::int16_t>(v * 32768.0f));
  return samples;
}

TEST(SoundConvert, EachChannelIsWhatTheConverterMakesOfItAlone) {
  // 24-bit stereo at 44100 Hz: a sine left, noise right (the values in the top 16 of the 24 bits).
  const Samples left = Sine(4410, 440.0, 44100.0, 9000.0);
  const Samples right = Noise(left.size(), 7, 6000);
  ByteVector data;
  for (std::size_t i = 0; i < left.size(); ++i) {
    for (const std::int16_t s : {left[i], right[i]}) {
      PutU8(data, 0);
      PutU16(data, static_cast<std::uint16_t>(s));
    }
  }
  const ByteVector wav =
      Riff({Chunk("fmt ", FmtBody(1, 2, 44100, 24)), Chunk("data", data), Chunk("cue ", CueBody({1000, 4409})),
            Chunk("LIST", AdtlBody({LtxtChunk(1, 2000), LablChunk(1, "7")}))});
  const auto converted = Convert(wav, 16000);
  EXPECT_EQ(converted.rate, 16000u);
  EXPECT_EQ(converted.channels, 2u);
  EXPECT_EQ(converted.frames, 1600u);  // trunc(4410 * 16000 / 44100)
  ASSERT_EQ(converted.samples.size(), 3200u);
  const Samples want[] = {ConverterAlone(left, 44100, 16000), ConverterAlone(right, 44100, 16000)};
  for (std::size_t c = 0; c < 2; ++c) {
    Samples got;
    for (std::size_t f = 0; f < converted.frames; ++f) got.push_back(converted.samples[f * 2 + c]);
    EXPECT_EQ(got, want[c]) << "channel " << c;
  }
  // 1000 -> 362.8 -> 363 and 2000 -> 725.6 -> 726; 4409 -> 1599.6 -> 1600, past the end.
  EXPECT_EQ(converted.markers, (std::vector<Marker>{{1, 363, 726, "7"}}));
  EXPECT_EQ(converted.lostMarkers, (std::vector<Marker>{{2, 4409, 0, ""}}));
}

TEST(SoundConvert, AtItsOwnRateOnlyTheSampleSizeChanges) {
  // 32-bit float, one sample beyond full scale.
  ByteVector data;
  for (const float v : {0.5f, -0.25f, 1.5f}) PutU32(data, std::bit_cast<std::uint32_t>(v));
  const auto converted = Convert(Riff({Chunk("fmt ", FmtBody(3, 1, 8000, 32)), Chunk("data", data)}), 8000);
  EXPECT_EQ(converted.samples, (Samples{16384, -8192, 32767}));
  EXPECT_EQ(converted.clipped, 1u);
}

TEST(SoundConvert, RefusalsSayWhy) {
  std::string error;
  EXPECT_FALSE(sound::ConvertRate(Audio(SimpleWav(16000, {1, 2, 3})), 500, error));
  EXPECT_EQ(error, "the rate 500 Hz is outside 1000 to 384000 Hz");
  EXPECT_FALSE(sound::ConvertRate(Audio(SimpleWav(16000, {})), 8000, error));
  EXPECT_EQ(error, "the file holds no samples");
}

TEST(SoundWaveInfo, TheFactsOfAFileWithoutItsSamples) {
  TempDir dir;
  // 2 s declared at 8 kHz stereo, 0.5 s there, with a labelled region.
  // (The markers come first: a data chunk that ends early takes everything after it.)
  const ByteVector wav = Riff({PcmFmt(8000, 2), Chunk("cue ", CueBody({100})),
                               Chunk("LIST", AdtlBody({LtxtChunk(1, 50), LablChunk(1, "intro")})),
                               ChunkWithSize("data", 16000 * 4, SampleBytes(Samples(8000, 3)))});
  WriteFileBytes(dir.File("cut.wav"), wav);
  std::string error;
  const auto info = sound::ReadWaveInfo(dir.File("cut.wav"), error);
  ASSERT_TRUE(info) << error;
  const auto whole = Audio(wav);
  EXPECT_TRUE(info->samples.empty());
  EXPECT_EQ(info->format.channels, 2u);
  EXPECT_EQ(info->format.rate, 8000u);
  EXPECT_EQ(info->frames, whole.frames);
  EXPECT_EQ(info->frames, 4000u);
  EXPECT_EQ(info->declaredFrames, 16000u);
  EXPECT_EQ(info->markers, whole.markers);
  EXPECT_EQ(info->markers, (std::vector<Marker>{{1, 100, 50, "intro"}}));
  EXPECT_EQ(sound::TruncationNote(*info), "the file ends after 0.50 s of its 2.00 s");
  // The same refusals as a whole read.
  WriteFileBytes(dir.File("slow.wav"), SimpleWav(500, {1, 2}));
  EXPECT_FALSE(sound::ReadWaveInfo(dir.File("slow.wav"), error));
  EXPECT_EQ(error, "the sample rate 500 Hz is outside 1000 to 384000 Hz");
  EXPECT_FALSE(sound::ReadWaveInfo(dir.File("absent.wav"), error));
  EXPECT_EQ(error, "the file does not exist");
}

}  // namespace
}  // namespace velkin::test
