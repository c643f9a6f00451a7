// The generated filter tables against the values that identify them, the difference rule, and an
// independent recomputation of the rule with the standard library's special functions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <span>
#include <vector>

#include "resampler/filter_tables.h"

namespace velkin::test {
namespace {

using namespace velkin::sondrel;

std::span<const std::int16_t> Large() {
  return {kLargeFilter, kLargeFilterLength};
}
std::span<const std::int16_t> Small() {
  return {kSmallFilter, kSmallFilterLength};
}

TEST(ResamplerTables, TellingValuesOfTheLargeFilter) {
  const std::vector<std::int16_t> head(Large().begin(), Large().begin() + 8);
  EXPECT_EQ(head, (std::vector<std::int16_t>{32767, 32766, 32764, 32761, 32756, 32750, 32743, 32734}));
  EXPECT_EQ(kLargeFilter[256], 3566);
  EXPECT_EQ(kLargeFilter[512], -3349);
  // The first change of sign lies between entries 284 and 285.
  for (int i = 0; i <= 284; ++i) ASSERT_GT(kLargeFilter[i], 0) << i;
  EXPECT_LT(kLargeFilter[285], 0);
}

TEST(ResamplerTables, TellingValuesOfTheSmallFilter) {
  const std::vector<std::int16_t> head(Small().begin(), Small().begin() + 8);
  EXPECT_EQ(head, (std::vector<std::int16_t>{32767, 32766, 32764, 32760, 32755, 32749, 32741, 32731}));
  EXPECT_EQ(kSmallFilter[256], 3180);
}

TEST(ResamplerTables, DifferencesLeadToTheNextEntryAndToZeroAfterTheLast) {
  for (const auto& [table, delta, n] : {std::tuple{kLargeFilter, kLargeFilterDelta, kLargeFilterLength},
                                        std::tuple{kSmallFilter, kSmallFilterDelta, kSmallFilterLength}}) {
    for (int i = 0; i + 1 < n; ++i) ASSERT_EQ(delta[i], table[i + 1] - table[i]) << "n=" << n << " i=" << i;
    EXPECT_EQ(delta[n - 1], -table[n - 1]);
  }
}

// The rule, evaluated here with std::cyl_bessel_i (the generator sums the Bessel series itself).
std::vector<std::int16_t> FromRule(int n) {
  std::vector<std::int16_t> t(static_cast<std::size_t>(n));
  const double pi = std::numbers::pi;
  for (int i = 0; i < n; ++i) {
    const double x = pi * i / 256.0;
    const double c = i == 0 ? 0.9 : std::sin(0.9 * x) / x;
    const double r = static_cast<double>(i) / (n - 1);
    const double w = std::cyl_bessel_i(0.0, 9.0 * std::sqrt(1.0 - r * r)) / std::cyl_bessel_i(0.0, 9.0);
    t[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(std::trunc(c * w * 32767.0 / 0.9 + 0.5));
  }
  return t;
}

TEST(ResamplerTables, EveryEntryFollowsTheRule) {
  EXPECT_EQ(std::vector<std::int16_t>(Large().begin(), Large().end()), FromRule(kLargeFilterLength));
  EXPECT_EQ(std::vector<std::int16_t>(Small().begin(), Small().end()), FromRule(kSmallFilterLength));
}

}  // namespace
}  // namespace velkin::test
