// C_Resampler: the worked values, the pass structure, settling and clamping, the refusals, and the
// fast path against the straightforward reference over factors, filters and flags.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "reference_resampler.h"
#include "resampler/resampler.h"
#include "tests/support/wav_builder.h"

namespace velkin::test {
namespace {

using velkin::sondrel::C_Resampler;
using velkin::sondrel::PassPlan;
using Samples = std::vector<std::int16_t>;

constexpr char kTooSmall[] = "resample: IBUFFSIZE (or factor) is too small \n\n";

// The factor as the converter forms it: the quotient of two floats, in double precision.
double Factor(float in, float out) {
  return static_cast<double>(out) / static_cast<double>(in);
}

struct Outcome {
  std::int32_t result = 0;
  std::int32_t moved = 0;
  Samples out;
  bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& o, std::ostream* os) {
  *os << "{result " << o.result << ", moved " << o.moved << ", " << o.out.size() << " samples}";
}

template <typename Resampler>
Outcome RunOnce(Resampler& r, const Samples& input, int channels, std::int32_t outCount) {
  Outcome o;
  o.out.assign(static_cast<std::size_t>(outCount) * static_cast<std::size_t>(channels), 0x5A5A);
  std::int32_t inCount = static_cast<std::int32_t>(input.size() / static_cast<std::size_t>(channels));
  o.result = r.run(inCount, outCount, input.data(), o.out.data());
  o.moved = inCount;
  return o;
}

// Index of the first differing sample, for readable failures.
std::string FirstDifference(const Outcome& a, const Outcome& b) {
  for (std::size_t i = 0; i < std::min(a.out.size(), b.out.size()); ++i) {
    if (a.out[i] != b.out[i])
      return "sample " + std::to_string(i) + ": " + std::to_string(a.out[i]) + " vs " + std::to_string(b.out[i]);
  }
  return "none";
}

// ---- Worked values -------------------------------------------------------------------------------

struct WorkedRow {
  float in, out;
  std::int32_t R, B, K, G;
  std::uint32_t D;
  std::optional<std::uint32_t> H;
};

TEST(ResamplerPlan, ReproducesTheWorkedValueTable) {
  const WorkedRow rows[] = {
      {44100, 16000, 100, 1486, 1414, 5350, 90317, 11889}, {48000, 16000, 109, 1365, 1293, 4915, 98304, 10923},
      {32000, 16000, 76, 2048, 1972, 7373, 65536, 16384},  {22050, 16000, 55, 2972, 2893, 10700, 45158, 23777},
      {11025, 16000, 43, 5944, 5820, 14746, 22579, {}},    {8000, 16000, 43, 8192, 8020, 14746, 16384, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.in) + " -> " + std::to_string(row.out));
    C_Resampler r(true, false, true);
    ASSERT_TRUE(r.configure(Factor(row.in, row.out), 1, 1.0));
    const PassPlan p = r.plan();
    EXPECT_TRUE(p.fits);
    EXPECT_EQ(p.filterReach, row.R);
    EXPECT_EQ(p.outputBlockLength, row.B);
    EXPECT_EQ(p.passCount, row.K);
    EXPECT_EQ(p.unityGain, row.G);
    EXPECT_EQ(p.timeStep, row.D);
    if (row.H) {
      EXPECT_EQ(p.tableStep, *row.H);
    }
  }
}

TEST(ResamplerPlan, GainScaleMultipliesTheUnityGainBeforeTheFactor) {
  EXPECT_EQ(C_Resampler::planFor(1.0, true, false, 0.5).unityGain, 7373);
  EXPECT_EQ(C_Resampler::planFor(1.0, false, false, 1.0).unityGain, 13128);
  // trunc(trunc(14746 * 0.5) * 0.5 + 0.5) = trunc(3687.0)
  EXPECT_EQ(C_Resampler::planFor(0.5, true, false, 0.5).unityGain, 3687);
  // The small filter: 13 taps, so R = trunc(14 * 0.5 * 2 + 10) at factor 0.5.
  EXPECT_EQ(C_Resampler::planFor(0.5, false, false, 1.0).filterReach, 24);
}

// ---- Runs ------------------------------------------------------------------------------------------

TEST(ResamplerRun, TenSecondsAt44100GiveExactly160000SamplesInPassesOf1414) {
  const Samples input = Noise(441000, 7, 20000);
  const double factor = Factor(44100, 16000);
  C_Resampler r(true, false, true);
  ASSERT_TRUE(r.configure(factor, 1, 1.0));
  EXPECT_EQ(r.plan().passCount, 1414);
  const Outcome got = RunOnce(r, input, 1, 160000);
  EXPECT_EQ(got.result, 160000);

  ReferenceResampler ref(true, false, true);
  ref.configure(factor, 1, 1.0);
  const Outcome want = RunOnce(ref, input, 1, 160000);
  ASSERT_EQ(ref.passes().size(), 114u);
  EXPECT_EQ(std::count(ref.passes().begin(), ref.passes().end(), 1414), 113);
  EXPECT_EQ(ref.passes().back(), 160000 - 113 * 1414);
  EXPECT_EQ(got, want) << FirstDifference(got, want);
}

TEST(ResamplerRun, EmptyRunProducesNothing) {
  C_Resampler r(true, false, true);
  ASSERT_TRUE(r.configure(Factor(44100, 16000), 1, 1.0));
  std::int32_t inCount = 0;
  EXPECT_EQ(r.run(inCount, 0, nullptr, nullptr), 0);
  EXPECT_EQ(inCount, 0);
}

TEST(ResamplerRun, ASingleInputSampleEndsTheRunBeforeAnyPass) {
  // The last input sample sits at the filter's own position: the run stops with nothing produced
  // and leaves the output as it was.
  C_Resampler r(true, false, true);
  ASSERT_TRUE(r.configure(2.0, 1, 1.0));
  const Outcome got = RunOnce(r, Samples{1000}, 1, 2);
  EXPECT_EQ(got.result, 0);
  EXPECT_EQ(got.moved, 0);
  EXPECT_EQ(got.out, (Samples{0x5A5A, 0x5A5A}));
}

TEST(ResamplerRun, ConstantInputSettlesAtUnityGain) {
  const struct {
    float in;
    int tolerance;
  } cases[] = {{44100, 10}, {48000, 10}, {22050, 10}, {8000, 20}, {11025, 20}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    const auto n = static_cast<std::size_t>(c.in);  // one second
    const Samples input(n, 16384);
    C_Resampler r(true, false, true);
    ASSERT_TRUE(r.configure(Factor(c.in, 16000), 1, 1.0));
    const Outcome got = RunOnce(r, input, 1, 16000);
    ASSERT_EQ(got.result, 16000);
    for (std::size_t k = 200; k + 200 < got.out.size(); ++k) {
      ASSERT_LE(std::abs(got.out[k] - 16384), c.tolerance) << "sample " << k << " = " << got.out[k];
    }
  }
}

TEST(ResamplerRun, FullScaleSquareClampsWithoutWrapAround) {
  for (const float in : {44100.0f, 8000.0f}) {
    SCOPED_TRACE(in);
    const std::size_t period = 64;
    const Samples input = Square(static_cast<std::size_t>(in), period, 32767);
    const double factor = Factor(in, 16000);
    C_Resampler r(true, false, true);
    ASSERT_TRUE(r.configure(factor, 1, 1.0));
    const Outcome got = RunOnce(r, input, 1, 16000);
    ASSERT_EQ(got.result, 16000);
    int clampedHigh = 0, clampedLow = 0;
    for (std::size_t k = 100; k + 100 < got.out.size(); ++k) {
      clampedHigh += got.out[k] == 32767;
      clampedLow += got.out[k] == -32768;
      // Output k lies at input position k / factor. Where the square is flat around it, the sign
      // must follow the square: a wrapped overshoot would flip it.
      const double t = static_cast<double>(k) / factor;
      const auto at = [&](double x) { return (static_cast<std::size_t>(x) % period) < period / 2 ? 1 : -1; };
      const int sign = at(t);
      if (at(t - 3) == sign && at(t + 3) == sign) {
        ASSERT_EQ(got.out[k] > 0 ? 1 : -1, sign) << "sample " << k << " = " << got.out[k];
        ASSERT_GE(std::abs(got.out[k]), 20000) << "sample " << k;
      }
    }
    EXPECT_GT(clampedHigh, 0);  // the overshoot next to each edge is clamped...
    EXPECT_GT(clampedLow, 0);   // ...on both sides
  }
}

TEST(ResamplerRun, LinearModeInterpolatesBetweenNeighbours) {
  // Factor 2: every other output lies halfway, (a * 16384 + b * 16384 + 16384) >> 15.
  C_Resampler r(true, true, true);
  ASSERT_TRUE(r.configure(2.0, 1, 1.0));
  const Outcome got = RunOnce(r, Samples{0, 100, 200, 301, -301, -32768, 32767, 32767}, 1, 12);
  EXPECT_EQ(got.result, 12);
  EXPECT_EQ(got.out, (Samples{0, 50, 100, 150, 200, 251, 301, 0, -301, -16534, -32768, 0}));
}

// ---- Refusals -----------------------------------------------------------------------------------

TEST(ResamplerRefusal, TooSmallAFactorPrintsTheMessageAndLeavesTheOutputAlone) {
  // 2R > 4096 below about 0.0162; R > 256 already below about 0.134, where moving a block down
  // after a pass would read past its 256-sample tail (and R = 2048 never ends a pass).
  for (const double factor : {1e-7, 0.01, 33.0 / 2038.5, 0.1, 0.13}) {
    SCOPED_TRACE(factor);
    C_Resampler r(true, false, true);
    ASSERT_TRUE(r.configure(factor, 1, 1.0));
    EXPECT_FALSE(r.plan().fits);
    testing::internal::CaptureStdout();
    const Outcome got = RunOnce(r, Noise(20000, 3, 1000), 1, 100);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kTooSmall);
    EXPECT_EQ(got.result, -1);
    EXPECT_EQ(got.out, Samples(100, 0x5A5A));
  }
}

TEST(ResamplerRefusal, ReachOf256IsTheLimit) {
  // R = trunc(33 / factor + 10): 256 is accepted, 257 is not.
  EXPECT_EQ(C_Resampler::planFor(33.0 / 246.5, true, false, 1.0).filterReach, 256);
  EXPECT_TRUE(C_Resampler::planFor(33.0 / 246.5, true, false, 1.0).fits);
  EXPECT_FALSE(C_Resampler::planFor(33.0 / 247.5, true, false, 1.0).fits);
}

TEST(ResamplerRefusal, PassesThatWouldEndOutsideTheInputBlockAreRefused) {
  // At factor 3100 the rounded time step (11 instead of 10.57) carries a full pass past the block.
  C_Resampler r(true, false, true);
  ASSERT_TRUE(r.configure(3100.0, 1, 1.0));
  testing::internal::CaptureStdout();
  const Outcome got = RunOnce(r, Samples(10, 1), 1, 1000);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), kTooSmall);
  EXPECT_EQ(got.result, -1);
  // Linear mode at a tiny factor: the output block would hold no sample at all.
  C_Resampler linear(true, true, true);
  ASSERT_TRUE(linear.configure(0.0002, 1, 1.0));
  EXPECT_FALSE(linear.plan().fits);
}

TEST(ResamplerRefusal, UnusableConfigurations) {
  C_Resampler r(true, false, true);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (const double factor : {0.0, -1.0, nan, inf, 4096.5}) EXPECT_FALSE(r.configure(factor, 1, 1.0)) << factor;
  EXPECT_FALSE(r.configure(0.5, 0, 1.0));
  EXPECT_FALSE(r.configure(0.5, 1, nan));
  EXPECT_FALSE(r.configure(0.5, 1, 1e6));
  // Not configured: nothing to run with, and nothing printed.
  testing::internal::CaptureStdout();
  std::int32_t inCount = 1;
  std::int16_t sample = 0;
  EXPECT_EQ(r.run(inCount, 1, &sample, &sample), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// ---- The fast path against the reference ----------------------------------------------------------

struct Flags {
  bool large, linear, interpolate;
};

void ExpectSameAsReference(double factor, Flags f, const Samples& input, int channels,
                           const std::vector<std::pair<std::size_t, std::int32_t>>& runs, double gain = 1.0,
                           cpu::Level level = cpu::DefaultLevel()) {
  SCOPED_TRACE("factor " + std::to_string(factor) + (f.large ? " large" : " small") + (f.linear ? " linear" : "") +
               (f.interpolate ? " interpolated" : " lower entry") + " channels " + std::to_string(channels));
  C_Resampler lib(f.large, f.linear, f.interpolate, level);
  ReferenceResampler ref(f.large, f.linear, f.interpolate);
  ASSERT_TRUE(lib.configure(factor, channels, gain));
  ASSERT_TRUE(lib.plan().fits);
  ref.configure(factor, channels, gain);
  std::size_t at = 0;
  for (const auto& [length, outCount] : runs) {
    // Each run gets the next `length` samples of every channel, channels one after another.
    Samples chunk;
    for (int c = 0; c < channels; ++c) {
      const auto base = input.begin() + static_cast<std::ptrdiff_t>(c * (input.size() / channels) + at);
      chunk.insert(chunk.end(), base, base + static_cast<std::ptrdiff_t>(length));
    }
    at += length;
    const Outcome got = RunOnce(lib, chunk, channels, outCount);
    const Outcome want = RunOnce(ref, chunk, channels, outCount);
    ASSERT_EQ(got, want) << "run of " << length << " -> " << outCount << ", first difference "
                         << FirstDifference(got, want);
  }
}

std::int32_t Natural(std::size_t n, double factor) {
  return static_cast<std::int32_t>(static_cast<double>(n) * factor);
}

// Every way of summing a wing this processor runs is checked, each resampler forced to its level.
class ResamplerWingSums : public ::testing::TestWithParam<cpu::Level> {
 protected:
  void SetUp() override {
    if (cpu::Runnable(GetParam()) != GetParam()) GTEST_SKIP() << "this processor cannot run the level";
  }
};

TEST_P(ResamplerWingSums, MatchTheReferenceOverFactorsFiltersAndFlags) {
  const Samples input = Noise(9000, 11, 30000);
  const double factors[] = {Factor(44100, 16000),
                            Factor(48000, 16000),
                            0.5,
                            Factor(22050, 16000),
                            Factor(11025, 16000),
                            2.0,
                            1.0,
                            33.0 / 246.5,
                            0.2,
                            0.99,
                            1.01,
                            3.7,
                            15.9};
  for (const double factor : factors) {
    for (const Flags f :
         {Flags{true, false, true}, Flags{true, false, false}, Flags{false, false, true}, Flags{false, false, false}}) {
      // The natural length, and more than the input holds (the filter then runs into the block's
      // stale tail, which depends on the pass structure).
      ExpectSameAsReference(factor, f, input, 1, {{input.size(), Natural(input.size(), factor)}}, 1.0, GetParam());
      ExpectSameAsReference(factor, f, input, 1, {{input.size(), Natural(input.size(), factor) + 300}}, 1.0,
                            GetParam());
    }
  }
}

TEST(ResamplerFastPath, MatchesTheReferenceInLinearMode) {
  const Samples input = Noise(9000, 5, 32767);
  for (const double factor : {Factor(44100, 16000), 0.5, 1.0, 2.0, 3.7, 0.05, 0.01}) {
    ExpectSameAsReference(factor, {true, true, true}, input, 1, {{input.size(), Natural(input.size(), factor) + 50}});
  }
}

TEST_P(ResamplerWingSums, MatchTheReferenceOnSignalsThatClamp) {
  const cpu::Level level = GetParam();
  ExpectSameAsReference(Factor(44100, 16000), {true, false, true}, Square(20000, 50, 32767), 1, {{20000, 7000}}, 1.0,
                        level);
  ExpectSameAsReference(2.0, {true, false, true}, Square(5000, 7, 32767), 1, {{5000, 10000}}, 1.0, level);
  ExpectSameAsReference(0.5, {true, false, true}, Noise(5000, 9, 30000), 1, {{5000, 2500}}, 1.7, level);
}

TEST(ResamplerFastPath, LaterRunsContinueWhereTheLastOneStopped) {
  const Samples input = Noise(30000, 21, 25000);
  for (const double factor : {Factor(44100, 16000), 2.0, 0.99}) {
    ExpectSameAsReference(factor, {true, false, true}, input, 1,
                          {{7000, Natural(7000, factor)},
                           {12000, Natural(12000, factor) - 37},
                           {0, 0},
                           {11000, Natural(11000, factor) + 100}});
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, ResamplerWingSums,
                         ::testing::Values(cpu::Level::kPlain, cpu::Level::kSse2, cpu::Level::kAvx2,
                                           cpu::Level::kAvx512),
                         [](const auto& info) { return std::string(cpu::Name(info.param)); });

TEST(ResamplerFastPath, ChannelsAreConvertedSideBySide) {
  // Three different channels, one after another in the arrays.
  Samples input = Noise(6000, 1, 30000);
  const Samples second = Sine(6000, 440, 22050, 25000), third = Square(6000, 33, 30000);
  input.insert(input.end(), second.begin(), second.end());
  input.insert(input.end(), third.begin(), third.end());
  for (const double factor : {Factor(22050, 16000), Factor(8000, 16000)}) {
    ExpectSameAsReference(factor, {true, false, true}, input, 3, {{6000, Natural(6000, factor)}});
  }
}

}  // namespace
}  // namespace velkin::test
