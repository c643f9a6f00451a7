// Preparing sounds: byte for byte what the console's routines give (the converter's export, the
// mono routine), a file already right used as it is, markers across rate changes and trims, level,
// loudness and clipping, and preparation on several threads at once.
#include <gtest/gtest.h>

#include <velkin/sondrel.h>
#include <velkin/vossik.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "sound/encoder_progress.h"
#include "sound/mono.h"
#include "sound/prepare.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wav_builder.h"

namespace velkin::test {
namespace {

using riff::Marker;
using Samples = std::vector<std::int16_t>;

class SoundPrepare : public ::testing::Test {
 protected:
  std::string File(const std::string& name, const ByteVector& bytes) {
    WriteFileBytes(dir_.File(name), bytes);
    return dir_.File(name);
  }
  sound::WaveAudio Audio(const ByteVector& bytes) {
    std::string error;
    auto audio = sound::ReadWaveAudio(bytes, error);
    EXPECT_TRUE(audio) << error;
    return audio ? *audio : sound::WaveAudio{};
  }
  sound::PreparedSound Prepare(const ByteVector& bytes, const sound::PrepareSettings& settings) {
    std::string error;
    auto prepared = sound::PrepareSound(Audio(bytes), settings, error);
    EXPECT_TRUE(prepared) << error;
    return prepared ? *prepared : sound::PreparedSound{};
  }
  std::string Refusal(const ByteVector& bytes, const sound::PrepareSettings& settings) {
    std::string error;
    EXPECT_FALSE(sound::PrepareSound(Audio(bytes), settings, error));
    return error;
  }
  // The file the console's converter writes for `path` at `rate`.
  ByteVector Converted(const std::string& path, std::uint32_t rate) {
    const std::string out = path + ".converted.wav";
    EXPECT_EQ(ZOLT_WaveConverter(path.c_str(), out.c_str(), static_cast<float>(rate)), 1);
    return ReadFileBytes(out);
  }
  static ByteVector Written(const sound::PreparedSound& p) {
    return riff::Pcm16WaveBytes({.rate = p.rate, .samples = p.samples, .markers = p.markers});
  }

  TempDir dir_;
};

TEST_F(SoundPrepare, GivesTheConverterExportsBytesForMono16BitFiles) {
  const std::pair<std::uint32_t, std::uint32_t> rates[] = {
      {44100, 16000}, {22050, 16000}, {8000, 16000}, {48000, 11025}};
  for (const auto& [from, to] : rates) {
    SCOPED_TRACE(std::to_string(from) + " -> " + std::to_string(to));
    const ByteVector wav = SimpleWav(from, SpeechLike(from / 2, from, from));
    const ByteVector want = Converted(File("in.wav", wav), to);
    const auto prepared = Prepare(wav, {.rate = to});
    EXPECT_EQ(Written(prepared), want);
    EXPECT_FALSE(prepared.sourceSamples);
  }
}

TEST_F(SoundPrepare, StereoGivesTheMonoRoutineThenTheConverter) {
  // Left speech, right noise: only the left channel may reach the result.
  const Samples left = SpeechLike(22050, 5, 44100);
  const Samples right = Noise(left.size(), 9, 20000);
  Samples frames;
  ByteVector frames24;  // the same values in the top bits of 24-bit samples
  for (std::size_t i = 0; i < left.size(); ++i) {
    for (const std::int16_t s : {left[i], right[i]}) {
      frames.push_back(s);
      PutU8(frames24, 0);
      PutU16(frames24, static_cast<std::uint16_t>(s));
    }
  }
  const ByteVector stereo = SimpleWav(44100, frames, 2);
  const std::string mono = dir_.File("mono.wav");
  ASSERT_EQ(sound::MakeMonoWave(File("stereo.wav", stereo).c_str(), mono.c_str(), nullptr), 1);
  const ByteVector want = Converted(mono, 16000);
  EXPECT_EQ(Written(Prepare(stereo, {.rate = 16000})), want);
  EXPECT_EQ(Written(Prepare(Riff({Chunk("fmt ", FmtBody(1, 2, 44100, 24)), Chunk("data", frames24)}), {.rate = 16000})),
            want);
  // A mix is the mean of the channels.
  const auto mixed =
      Prepare(SimpleWav(8000, {100, 300, -50, 51}, 2), {.rate = 8000, .channels = sound::ChannelChoice::kMix});
  EXPECT_EQ(mixed.samples, (Samples{200, 0}));  // 0.5 rounds to the even neighbour
}

TEST_F(SoundPrepare, AFileAlreadyRightIsUsedAsItIs) {
  const Samples speech = SpeechLike(16000, 2);
  const ByteVector wav = SimpleWav(16000, speech);
  const auto prepared = Prepare(wav, {.rate = 16000});
  EXPECT_TRUE(prepared.sourceSamples);
  EXPECT_EQ(prepared.samples, speech);
  // Encoding the written sound gives the code file of the original.
  const std::string original = File("original.wav", wav);
  const std::string written = dir_.File("written.wav");
  ASSERT_TRUE(sound::WritePreparedSound(written, prepared));
  for (const std::string& path : {original, written}) {
    ASSERT_EQ(VOSSIK((path + ".cod").c_str(), path.c_str(), "12000000", "8", 0, 0, nullptr, 0), 1);
  }
  EXPECT_EQ(ReadFileBytes(original + ".cod"), ReadFileBytes(written + ".cod"));
  // Any change makes them the prepared samples' own.
  EXPECT_FALSE(Prepare(wav, {.rate = 16000, .level = sound::Level::Gain(1.0)}).sourceSamples);
  EXPECT_FALSE(Prepare(SimpleWav(16000, speech, 2), {.rate = 16000}).sourceSamples);
}

TEST(SoundMarkers, ScaledToTheNearestFrameAndLostPastTheEnd) {
  const std::vector<Marker> markers = {
      {1, 441, 882, "a"}, {2, 1, 0, ""}, {3, 2, 0, "round up"}, {4, 44100, 10, "at the end"}, {5, 43000, 4410, "cut"}};
  const auto scaled = sound::ScaleMarkers(markers, 44100, 16000, 16000);
  // 441 -> 160, 1 -> 0.36 -> 0, 2 -> 0.73 -> 1, 43000 -> 15600.9 -> 15601 with 1600 cut to 399.
  EXPECT_EQ(scaled.kept,
            (std::vector<Marker>{{1, 160, 320, "a"}, {2, 0, 0, ""}, {3, 1, 0, "round up"}, {5, 15601, 399, "cut"}}));
  EXPECT_EQ(scaled.lost, (std::vector<Marker>{{4, 44100, 10, "at the end"}}));
  // Halves go away from zero.
  EXPECT_EQ(sound::ScaleMarkers(std::vector<Marker>{{1, 3, 5, ""}}, 2, 1, 100).kept,
            (std::vector<Marker>{{1, 2, 3, ""}}));
}

TEST_F(SoundPrepare, MarkersFollowTheRateAndTheTrimIntoTheWrittenFile) {
  // 0.5 s of silence, 0.2 s of sound, 0.3 s of silence at 16 kHz.
  Samples s(16000, 0);
  for (std::size_t i = 8000; i < 11200; ++i) s[i] = (i % 2) ? 5000 : -5000;
  ByteVector wav = Riff({PcmFmt(16000), Chunk("data", SampleBytes(s)), Chunk("cue ", CueBody({0, 9000, 15000})),
                         Chunk("LIST", AdtlBody({LtxtChunk(1, 16000), LablChunk(2, "middle")}))});
  const auto p = Prepare(wav, {.rate = 16000, .trim = sound::TrimSettings{}});
  // The default keeps 20 ms (320 samples) on each side of the sound.
  EXPECT_EQ(p.trimmedStart, 7680u);
  EXPECT_EQ(p.trimmedEnd, 16000u - 11520u);
  EXPECT_EQ(p.samples, Samples(s.begin() + 7680, s.begin() + 11520));
  EXPECT_EQ(p.markers, (std::vector<Marker>{{1, 0, 3840, ""}, {2, 1320, 0, "middle"}}));
  EXPECT_EQ(p.lostMarkers, (std::vector<Marker>{{3, 15000, 0, ""}}));
  // Written and read back with its markers.
  ASSERT_TRUE(sound::WritePreparedSound(dir_.File("p.wav"), p));
  std::string error;
  const auto back = sound::ReadWaveAudio(std::filesystem::path(dir_.File("p.wav")), error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(back->markers, p.markers);
  // At half the rate first: positions halve before the trim moves them.
  const auto half = Prepare(wav, {.rate = 8000});
  EXPECT_EQ(half.markers, (std::vector<Marker>{{1, 0, 8000, ""}, {2, 4500, 0, "middle"}, {3, 7500, 0, ""}}));
  EXPECT_EQ(Refusal(SimpleWav(16000, Samples(1000, 3)), {.rate = 16000, .trim = sound::TrimSettings{}}),
            "nothing in the sound reaches the trim threshold of -50.0 dBFS: it is silence");
}

TEST_F(SoundPrepare, GainPeakAndClipping) {
  const double twice = 20.0 * std::log10(2.0);
  Samples s = {1000, -1000, 20000, -16384, 3};
  EXPECT_EQ(sound::ApplyGain(s, twice), 1u);
  EXPECT_EQ(s, (Samples{2000, -2000, 32767, -32768, 6}));
  EXPECT_EQ(sound::ApplyGain(s, 0.0), 0u);  // 0 dB: untouched, not even rounded
  EXPECT_NEAR(sound::PeakDbfs(Samples{8192, -100}), -twice * 2, 1e-12);
  EXPECT_TRUE(std::isinf(sound::PeakDbfs(Samples(10, 0))));

  const auto peaked =
      Prepare(SimpleWav(16000, {8192, -4096, 100}), {.rate = 16000, .level = sound::Level::Peak(-twice)});
  EXPECT_EQ(peaked.samples, (Samples{16384, -8192, 200}));
  EXPECT_NEAR(peaked.gainDb, twice, 1e-9);
  EXPECT_EQ(Refusal(SimpleWav(16000, Samples(10, 0)), {.rate = 16000, .level = sound::Level::Peak(-1)}),
            "the sound is silence: it has no peak to normalise");
  // A float source beyond full scale clips on its way to 16 bits, and is counted.
  ByteVector floats;
  for (float v : {0.5f, 1.5f, -2.0f, -1.0f}) PutU32(floats, std::bit_cast<std::uint32_t>(v));
  const auto loud = Prepare(Riff({Chunk("fmt ", FmtBody(3, 1, 16000, 32)), Chunk("data", floats)}), {.rate = 16000});
  EXPECT_EQ(loud.samples, (Samples{16384, 32767, -32768, -32768}));
  EXPECT_EQ(loud.clipped, 2u);
}

TEST_F(SoundPrepare, LoudnessIsMeasuredByTheR128Meter) {
  // A 1 kHz sine at -20 dBFS, 3 s at 48 kHz.
  Samples sine(3 * 48000);
  for (std::size_t i = 0; i < sine.size(); ++i) {
    sine[i] = static_cast<std::int16_t>(std::lround(3277.0 * std::sin(2 * std::numbers::pi * 1000.0 * i / 48000.0)));
  }
  std::string error;
  const auto lufs = sound::IntegratedLoudness(sine, 48000, error);
  if (!sound::HaveLoudnessMeter()) {
    EXPECT_FALSE(lufs);
    EXPECT_NE(error.find("no loudness meter"), std::string::npos) << error;
    EXPECT_NE(error.find("gain"), std::string::npos) << error;
    EXPECT_NE(Refusal(SimpleWav(48000, sine), {.rate = 48000, .level = sound::Level::Loudness(-16)}).find("gain"),
              std::string::npos);
    return;
  }
  // A sine at full scale in one channel reads -3.01 LUFS; K-weighting is about +0.7 dB at 1 kHz.
  ASSERT_TRUE(lufs) << error;
  EXPECT_NEAR(*lufs, -23.0, 0.1);
  EXPECT_FALSE(sound::IntegratedLoudness(Samples(48000, 0), 48000, error));
  EXPECT_FALSE(sound::IntegratedLoudness(Samples(4000, 1000), 48000, error));  // shorter than one block

  // Speech brought to -16 LUFS at 16 kHz measures -16 there afterwards.
  const auto p = Prepare(SimpleWav(22050, SpeechLike(3 * 22050, 4, 22050, 4000)),
                         {.rate = 16000, .level = sound::Level::Loudness(-16)});
  EXPECT_EQ(p.clipped, 0u);
  const auto after = sound::IntegratedLoudness(p.samples, 16000, error);
  ASSERT_TRUE(after) << error;
  EXPECT_NEAR(*after, -16.0, 0.1);
}

TEST_F(SoundPrepare, RefusesWhatCannotBePrepared) {
  EXPECT_EQ(Refusal(SimpleWav(16000, {1, 2}), {.rate = 999}), "the target rate 999 Hz is outside 1000 to 384000 Hz");
  EXPECT_EQ(Refusal(SimpleWav(16000, {}), {.rate = 16000}), "the file holds no samples");
  EXPECT_EQ(Refusal(SimpleWav(16000, {1, 2}), {.rate = 16000, .level = sound::Level::Gain(NAN)}),
            "the level is not a number");
}

// What an encoder reports for a sound with regions, read as one bar over the whole sound.
TEST_F(SoundPrepare, TheEncodersProgressIsOneBarOverEveryRegion) {
  // Regions over the second and third quarters: the encoder's segments end at 1/4, 1/2, 3/4 and 1.
  const std::vector<Marker> markers = {{1, 4000, 4000, ""}, {2, 8000, 4000, ""}};
  sound::PreparedSound prepared;
  prepared.rate = 16000;
  prepared.samples = SpeechLike(16000, 7, 16000);
  prepared.markers = markers;
  const std::string path = dir_.File("regions.wav");
  ASSERT_TRUE(sound::WritePreparedSound(path, prepared));
  struct Seen {
    sound::EncoderProgress overall;
    std::vector<int> raw;
    std::vector<int> bar;
  } seen{sound::EncoderProgress(markers, prepared.samples.size()), {}, {}};
  const auto report = [](int32_t, int32_t percent, intptr_t user) -> int32_t {
    auto* s = reinterpret_cast<Seen*>(user);
    s->raw.push_back(percent);
    s->bar.push_back(s->overall.Overall(percent));
    return 0;
  };
  ASSERT_EQ(
      VOSSIK((path + ".cod").c_str(), path.c_str(), "12000000", "8", 0, 0, report, reinterpret_cast<intptr_t>(&seen)),
      1);
  // The encoder starts again from a low share in every segment; the bar never goes back, and at
  // each segment's end stands at the share of the whole it ends at, having come up to it.
  EXPECT_TRUE(std::is_sorted(seen.bar.begin(), seen.bar.end()));
  std::vector<int> at_ends;
  for (std::size_t i = 1; i < seen.raw.size(); ++i) {
    if (seen.raw[i] != 100 || seen.raw[i - 1] == 100) continue;
    at_ends.push_back(seen.bar[i]);
    EXPECT_LT(seen.bar[i - 1], seen.bar[i]) << "report " << i;
    EXPECT_GE(seen.bar[i - 1], seen.bar[i] - 3) << "report " << i;
  }
  EXPECT_EQ(at_ends, (std::vector<int>{25, 50, 75, 100}));
}

TEST(SoundThreads, PreparingOnSeveralThreadsGivesTheSameSamples) {
  // Different lengths and rates, so that runs on the two threads are at different places at once.
  std::vector<sound::WaveAudio> sources;
  for (std::uint32_t i = 0; i < 4; ++i) {
    std::string error;
    const std::uint32_t rate = i % 2 ? 44100 : 22050;
    auto audio = sound::ReadWaveAudio(SimpleWav(rate, SpeechLike(rate / 3 + 997 * i, 20 + i, rate)), error);
    ASSERT_TRUE(audio) << error;
    sources.push_back(std::move(*audio));
  }
  const auto prepare = [&](std::size_t i) {
    std::string error;
    return sound::PrepareSound(sources[i], {.rate = i < 2 ? 16000u : 11025u}, error)->samples;
  };
  std::vector<Samples> alone;
  for (std::size_t i = 0; i < sources.size(); ++i) alone.push_back(prepare(i));
  std::vector<Samples> together(sources.size());
  {
    std::jthread a([&] {
      for (std::size_t i = 0; i < sources.size(); i += 2) together[i] = prepare(i);
    });
    std::jthread b([&] {
      for (std::size_t i = 1; i < sources.size(); i += 2) together[i] = prepare(i);
    });
  }
  EXPECT_EQ(together, alone);
}

}  // namespace
}  // namespace velkin::test
