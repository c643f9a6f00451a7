// The low-level scan, which visits only the samples that are not low, sixteen at a time, against
// the rule applied sample by sample, on blocks of low and loud runs of every length around 256.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "encoders/pcm12/pcm12_block.h"

namespace velkin::pcm12 {
namespace {

BlockShape SampleBySample(const std::vector<std::uint16_t>& u) {
  const auto n = static_cast<std::uint32_t>(u.size());
  std::uint32_t run = 0;
  bool begun = false;
  for (std::uint32_t j = 0; j < n; ++j) {
    const bool low = u[j] > 29768 && u[j] < 35768;
    if (low) ++run;
    if (low && j + 1 != n) continue;
    if (run > 255) {
      if (!begun) return {BlockMode::kLowLevel, run};
      if (j - run > 1023) return {BlockMode::kNormal, j - run};
      return {BlockMode::kNormal, n > 1024 ? 1024u : n};
    }
    begun = true;
    run = 0;
  }
  return {BlockMode::kNormal, n};
}

TEST(Pcm12LowLevelScan, AgreesWithTheRuleSampleBySample) {
  std::uint32_t r = 99;
  auto next = [&r] {
    r = r * 1664525u + 1013904223u;
    return r >> 8;
  };
  for (int round = 0; round < 4000; ++round) {
    std::vector<std::uint16_t> u;
    const std::size_t n = 1 + next() % 3000;
    while (u.size() < n) {
      // Low runs near the 256 that decide, loud runs of any length; values at the range's edges.
      const bool low = next() % 2 == 0;
      const std::size_t run = low ? 200 + next() % 120 : 1 + next() % 40;
      for (std::size_t k = 0; k < run && u.size() < n; ++k) {
        static constexpr std::uint16_t kLow[] = {29769, 32768, 35767, 31000};
        static constexpr std::uint16_t kLoud[] = {29768, 35768, 0, 65535};
        u.push_back(low ? kLow[next() % 4] : kLoud[next() % 4]);
      }
    }
    const BlockShape want = SampleBySample(u);
    const BlockShape got = ScanLowLevel(u);
    ASSERT_EQ(got.mode, want.mode) << "round " << round;
    ASSERT_EQ(got.length, want.length) << "round " << round;
  }
}

}  // namespace
}  // namespace velkin::pcm12
