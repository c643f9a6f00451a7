// Fit: every candidate encoded and scored, the best-scoring one that fits chosen (checked against
// a full search made of single builds), what must go when nothing fits, and a measure under which
// a higher rate, uncoded, never scores worse.
#include <gtest/gtest.h>

#include <cmath>

#include "sets/build.h"
#include "tests/support/sound_sets.h"

namespace velkin::test {
namespace {

class SetFit : public ::testing::Test {
 protected:
  std::optional<sets::SetFile> Set(const std::string& head) {
    folder_.Speech("a.wav", 0.12, 44100, 21, ClipFormat::kPcm24Stereo);
    folder_.Speech("b.wav", 0.1, 22050, 22);
    folder_.Speech("c.wav", 0.15, 48000, 23, ClipFormat::kFloat32);
    const std::string path = folder_.Set("set.toml", head + ClipTables({"a.wav", "b.wav", "c.wav"}));
    auto set = sets::ReadSetFile(path, diagnostics_);
    EXPECT_TRUE(set) << diagnostics_.Text();
    return set;
  }
  std::optional<sets::FitResult> Fit(const sets::SetFile& set, std::uint64_t capacity) {
    sets::BuildRequest request;
    request.capacity = capacity;
    auto fit = sets::FitSet(set, request, {}, diagnostics_);
    EXPECT_TRUE(fit) << diagnostics_.Text();
    return fit;
  }

  SetFolder folder_;
  sets::Diagnostics diagnostics_;
};

TEST_F(SetFit, ChoosesTheBestCandidateThatFitsAsAFullSearchFinds) {
  const auto set = Set("encoder = \"auto\"\nrate = \"auto\"\nthreshold = \"auto\"\n");
  ASSERT_TRUE(set);
  // The full search: every configuration built on its own.
  std::vector<sets::BuildReport> builds;
  for (const sets::Encoder encoder : {sets::Encoder::kTarpel, sets::Encoder::kVossik}) {
    for (const std::uint32_t rate : sets::kFitRates) {
      for (const std::uint32_t threshold : sets::kFitThresholds) {
        sets::SetFile one = *set;
        one.encoder = encoder;
        one.rate = rate;
        one.threshold = threshold;
        sets::BuildRequest request;
        request.capacity = 1u << 30;
        sets::Diagnostics d;
        const auto built = sets::BuildSet(one, request, {}, d);
        ASSERT_TRUE(built) << d.Text();
        builds.push_back(built->report);
      }
    }
  }
  // A capacity that some candidates meet and others do not.
  std::vector<std::uint64_t> sizes;
  for (const auto& b : builds) sizes.push_back(b.imageBytes);
  std::sort(sizes.begin(), sizes.end());
  const std::uint64_t capacity = sizes[sizes.size() / 2];

  const auto fit = Fit(*set, capacity);
  ASSERT_TRUE(fit);
  ASSERT_EQ(fit->candidates.size(), builds.size());
  ASSERT_TRUE(fit->chosen);
  std::optional<std::size_t> best;
  const auto key = [](double db) { return std::llround(db * 100.0); };
  for (std::size_t i = 0; i < fit->candidates.size(); ++i) {
    const sets::Candidate& c = fit->candidates[i];
    const sets::BuildReport& built = builds[i];
    SCOPED_TRACE(std::string(sets::EncoderKey(c.settings.encoder)) + " " + std::to_string(c.settings.rate) + " " +
                 std::to_string(c.settings.threshold));
    ASSERT_TRUE(c.ok()) << c.error;
    EXPECT_EQ(c.settings.encoder, built.settings.encoder);
    EXPECT_EQ(c.settings.rate, built.settings.rate);
    EXPECT_EQ(c.settings.threshold, built.settings.threshold);
    EXPECT_EQ(c.bytes, built.imageBytes);
    EXPECT_EQ(c.scoreDb, built.scoreDb);
    EXPECT_EQ(c.fits, c.bytes <= capacity);
    if (!c.fits) continue;
    const sets::Candidate* b = best ? &fit->candidates[*best] : nullptr;
    if (!b || key(c.scoreDb) > key(b->scoreDb) ||
        (key(c.scoreDb) == key(b->scoreDb) && (key(c.meanScoreDb) > key(b->meanScoreDb) ||
                                               (key(c.meanScoreDb) == key(b->meanScoreDb) && c.bytes < b->bytes)))) {
      best = i;
    }
  }
  EXPECT_EQ(fit->chosen, best);
  EXPECT_NE(fit->why.find("the best score of the "), std::string::npos) << fit->why;
  // A candidate that scores better but does not fit is named in the reason.
  const auto& chosen = fit->candidates[*fit->chosen];
  const bool better_elsewhere = std::any_of(fit->candidates.begin(), fit->candidates.end(),
                                            [&](const auto& c) { return key(c.scoreDb) > key(chosen.scoreDb); });
  EXPECT_EQ(fit->why.find("the best-scoring candidate") != std::string::npos, better_elsewhere) << fit->why;
}

TEST_F(SetFit, WhenNothingFitsSaysWhatMustGo) {
  const auto set = Set("encoder = \"vossik\"\nrate = \"auto\"\n");
  ASSERT_TRUE(set);
  const auto fit = Fit(*set, 500);
  ASSERT_TRUE(fit);
  EXPECT_EQ(fit->candidates.size(), 6u);  // the encoder and threshold the set gives are kept
  EXPECT_FALSE(fit->chosen);
  std::uint64_t smallest = UINT64_MAX;
  for (const auto& c : fit->candidates) smallest = std::min(smallest, c.bytes);
  EXPECT_EQ(fit->bytesOver, smallest - 500);
  EXPECT_NEAR(fit->secondsOver, fit->seconds * static_cast<double>(fit->bytesOver) / smallest, 1e-9);
  EXPECT_NE(fit->why.find("nothing fits in 500 bytes"), std::string::npos) << fit->why;
  EXPECT_NE(fit->why.find(std::to_string(fit->bytesOver) + " more"), std::string::npos) << fit->why;

  // A build that has to fit first fails the same way and writes nothing.
  sets::BuildRequest request;
  request.capacity = 500;
  request.image = folder_.File("out.cod");
  sets::BuildResult failed;
  EXPECT_FALSE(sets::BuildSet(*set, request, {}, diagnostics_, &failed));
  EXPECT_EQ(failed.failure, sets::Failure::kDoesNotFit);
  ASSERT_TRUE(failed.fit);
  EXPECT_EQ(failed.fit->bytesOver, fit->bytesOver);
  EXPECT_FALSE(std::filesystem::exists(request.image));
}

TEST_F(SetFit, UncodedAHigherRateNeverScoresWorse) {
  // Sources at 44.1 kHz, above every rate fit tries: speech, music and noise.
  folder_.Speech("speech.wav", 0.25, 44100, 31, ClipFormat::kPcm24Stereo);
  folder_.Samples("music.wav", MusicLike(11025, 44100.0), 44100);
  folder_.Samples("noise.wav", Noise(11025, 5, 12000), 44100);
  for (const char* clip : {"speech.wav", "music.wav", "noise.wav"}) {
    SCOPED_TRACE(clip);
    const std::string path = folder_.Set("one.toml", "encoder = \"tarpel\"\n" + ClipTables({clip}));
    const auto set = sets::ReadSetFile(path, diagnostics_);
    ASSERT_TRUE(set) << diagnostics_.Text();
    const auto fit = Fit(*set, 1u << 30);
    ASSERT_TRUE(fit);
    ASSERT_EQ(fit->bounds.size(), 6u);
    for (std::size_t i = 1; i < fit->bounds.size(); ++i) {
      EXPECT_GE(fit->bounds[i].scoreDb, fit->bounds[i - 1].scoreDb)
          << fit->bounds[i].rate << " Hz against " << fit->bounds[i - 1].rate << " Hz";
    }
    EXPECT_GT(fit->bounds[5].scoreDb, fit->bounds[0].scoreDb + 3.0);
    // The 12-bit coding costs a little on top of the band, never more than the band allows.
    for (const auto& c : fit->candidates) {
      const auto bound = std::find_if(fit->bounds.begin(), fit->bounds.end(),
                                      [&](const sets::RateBound& b) { return b.rate == c.settings.rate; });
      EXPECT_LE(c.scoreDb, bound->scoreDb + 0.05) << c.settings.rate;
    }
  }
}

}  // namespace
}  // namespace velkin::test
