// The quality measure: plain SNR and segmental SNR, delays found to a fraction of a sample and
// followed along a drifting sound, and scores that a shift of one sample does not change.
#include <gtest/gtest.h>

#include <cmath>

#include "sets/clips.h"
#include "sets/judge.h"
#include "sets/quality.h"
#include "sets/regions.h"
#include "sound/prepare.h"
#include "tests/support/sound_sets.h"

namespace velkin::test {
namespace {

using Samples = std::vector<std::int16_t>;

Samples Rounded(const std::vector<float>& in) {
  Samples out(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) out[i] = static_cast<std::int16_t>(std::lround(in[i]));
  return out;
}

// A coded-like copy: the low bits of every sample replaced by noise, about 4-bit ADPCM's error.
Samples Coarse(const Samples& in, int step) {
  const Samples noise = Noise(in.size(), 77, step / 2);
  Samples out(in.size());
  for (std::size_t i = 0; i < in.size(); ++i)
    out[i] = static_cast<std::int16_t>(std::clamp(in[i] + noise[i], -32768, 32767));
  return out;
}

Samples Shifted(const Samples& in, int by) {  // out[n] = in[n - by]: later by `by` samples
  Samples out(in.size(), 0);
  for (std::size_t n = 0; n < in.size(); ++n) {
    const auto i = static_cast<std::int64_t>(n) - by;
    if (i >= 0 && i < static_cast<std::int64_t>(in.size())) out[n] = in[static_cast<std::size_t>(i)];
  }
  return out;
}

TEST(SetQuality, MeasuresSnrAndLeavesQuietFramesOut) {
  const Samples sine = Sine(16000, 440.0, 16000.0, 10000.0);
  Samples plus(sine);
  for (auto& s : plus) s = static_cast<std::int16_t>(s + 100);
  const auto q = sets::Measure(sine, plus, 16000);
  EXPECT_NEAR(q.snrDb, 10.0 * std::log10(5e7 / 1e4), 0.01);
  EXPECT_EQ(q.segSnrDb, sets::kFrameCeilingDb);  // every frame is above the ceiling
  EXPECT_EQ(sets::Measure(sine, sine, 16000).snrDb, sets::kPerfectDb);

  // Half silence, where the test has a hiss: those frames say nothing and are left out.
  Samples half(sine), hiss(sine);
  const Samples noise = Noise(8000, 3, 300);
  for (std::size_t i = 0; i < 8000; ++i) {
    half[i] = 0;
    hiss[i] = noise[i];
  }
  for (std::size_t i = 8000; i < hiss.size(); ++i) hiss[i] = static_cast<std::int16_t>(hiss[i] + 300);
  const auto gated = sets::Measure(half, hiss, 16000);
  EXPECT_NEAR(gated.segSnrDb, 10.0 * std::log10(5e7 / 9e4), 0.01);
  EXPECT_LT(gated.snrDb, gated.segSnrDb);
}

TEST(SetQuality, FindsADelayToAFractionOfASampleAndFollowsADrift) {
  // Speech at 44.1 kHz as the converter brings it from 16 kHz: band-limited, as every sound the
  // judge aligns is on one side.
  Samples voice;
  std::string error;
  ASSERT_TRUE(sound::Resample(SpeechLike(32000, 5, 16000.0), 16000, 44100, voice, error)) << error;
  for (const double delay : {0.0, 1.0, -2.0, 2.3, -0.45}) {
    SCOPED_TRACE(delay);
    const Samples later = Rounded(sets::Delayed(voice, -delay, voice.size()));  // later[n + delay] = voice[n]
    const sets::Lag lag = sets::FindLag(voice, later, -8, 8);
    EXPECT_NEAR(lag.Delay(), delay, 0.02);
  }
  // A converter's creep: 2 samples at the start, 3e-5 more per sample (2.6 more by the end).
  const sets::DelayLine creep{2.0, 3e-5};
  const sets::DelayLine back{-creep.offset / (1 + creep.slope), 1.0 / (1 + creep.slope) - 1.0};
  const Samples drifting = Rounded(sets::Warped(voice, back, voice.size() + 8));
  const sets::DelayLine found = sets::FitDelayLine(voice, drifting, -8, 8);
  EXPECT_NEAR(found.At(0), creep.At(0), 0.05);
  EXPECT_NEAR(found.At(88200), creep.At(88200), 0.05);
}

TEST(SetQuality, ASoundShiftedByOneSampleScoresWithinHalfADbOfItself) {
  const Samples voice = SpeechLike(32000, 6, 16000.0);
  const Samples coded = Coarse(voice, 600);
  const auto itself = sets::CompareAligned(voice, coded, 16000, 8);
  EXPECT_GT(itself.segSnrDb, 10.0);
  EXPECT_LT(itself.segSnrDb, 30.0);
  for (const int by : {1, -1, 3}) {
    SCOPED_TRACE(by);
    EXPECT_NEAR(sets::CompareAligned(voice, Shifted(coded, by), 16000, 8).segSnrDb, itself.segSnrDb, 0.5);
  }
  const Samples half = Rounded(sets::Delayed(coded, 0.5, coded.size()));
  EXPECT_NEAR(sets::CompareAligned(voice, half, 16000, 8).segSnrDb, itself.segSnrDb, 0.5);
  // Without the alignment the shift would be ruinous.
  EXPECT_LT(sets::Measure(voice, Shifted(coded, 1), 16000).segSnrDb, itself.segSnrDb - 3.0);
}

TEST(SetQuality, ARegionOneSampleEarlyScoresAtItsOwnRateAsTheRegionItself) {
  // A clip at 44.1 kHz judged through 11025 Hz: the region found a sample early at 11025 Hz
  // (as the 12-bit encoder can leave it) is found so and scores as the region in place.
  SetFolder folder;
  folder.Speech("voice.wav", 0.8, 44100, 12, ClipFormat::kPcm24Stereo);
  sets::Diagnostics d;
  const auto set = sets::ParseSet(ClipTables({"voice.wav"}), folder.File("set.toml"), d);
  ASSERT_TRUE(set) << d.Text();
  const auto clip = sets::LoadClip(*set, 0, d);
  ASSERT_TRUE(clip) << d.Text();
  Samples at_rate;
  std::string error;
  ASSERT_TRUE(sets::ClipAtRate(*clip, 11025, at_rate, error)) << error;
  sets::RateJudge judge;
  ASSERT_TRUE(judge.Make({*clip}, {at_rate}, 11025, error)) << error;
  // Through 11025 Hz the round trip drifts (the converter's rounded step), and is followed.
  EXPECT_GT(judge.uncoded()[0].segSnrDb, 15.0);
  EXPECT_NE(judge.delays()[0].slope, 0.0);

  const Samples coded = Coarse(at_rate, 400);
  Samples early(coded);
  early.insert(early.begin(), 1234);  // one sample of what came before
  early.pop_back();
  const sets::StreamRegion region{0, 1, 0, early.size(), 0, 0};
  const sets::RegionMatch match = sets::MatchRegion(region, early, at_rate, 11025, 0, 1, 0);
  EXPECT_EQ(match.shift, 1);
  EXPECT_TRUE(match.ok) << match.note;
  const double in_place = judge.Judge({coded}, error)[0].segSnrDb;
  const double moved_back = judge.Judge({sets::AlignedRegion(early, match.shift, at_rate.size())}, error)[0].segSnrDb;
  EXPECT_NEAR(moved_back, in_place, 0.5);
  EXPECT_LT(in_place, judge.uncoded()[0].segSnrDb);
}

}  // namespace
}  // namespace velkin::test
