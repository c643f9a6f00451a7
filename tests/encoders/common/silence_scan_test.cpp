// The first-stage silence scan, which passes over loud stretches sixteen samples at a time and
// resumes where an earlier scan found no run, against the rule applied sample by sample, on blocks
// made of quiet and loud runs of every length and on thresholds up to ones that make every sample
// quiet.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "encoders/common/silence_scan.h"

namespace velkin::encoder {
namespace {

SilenceScan SampleBySample(const std::vector<std::uint16_t>& u, std::uint32_t threshold) {
  const std::int64_t low = 32768 - static_cast<std::int64_t>(threshold);
  const std::int64_t high = 32768 + static_cast<std::int64_t>(threshold);
  std::uint32_t run = 0;
  bool begun = false;
  for (std::size_t j = 0; j < u.size(); ++j) {
    const bool quiet = u[j] > low && u[j] < high;
    if (quiet) ++run;
    if (quiet && j + 1 != u.size()) continue;
    if (run > 9) {
      if (!begun) return {SilenceScan::Kind::kLeadingRun, run, 0};
      return {SilenceScan::Kind::kInnerRun, run, static_cast<std::uint32_t>(j)};
    }
    begun = true;
    run = 0;
  }
  return {};
}

TEST(FirstStageSilence, AgreesWithTheRuleSampleBySample) {
  std::uint32_t r = 77;
  auto next = [&r] {
    r = r * 1664525u + 1013904223u;
    return r >> 8;
  };
  for (const std::uint32_t threshold : {4u, 5u, 300u, 32767u, 32768u, 32769u, 70000u, 0xFFFFFFFFu}) {
    // Appends runs of 1 to 40 samples, quiet (within the threshold, edges included) or loud, up to n.
    const auto runs = [&](std::vector<std::uint16_t>& u, std::size_t n) {
      while (u.size() < n) {
        const std::size_t run = 1 + next() % 40;
        const bool quiet = next() % 2 == 0;
        for (std::size_t k = 0; k < run && u.size() < n; ++k) {
          const std::int64_t offset = quiet ? static_cast<std::int64_t>(next() % 8) - 3 : 3 + next() % 40000;
          const std::int64_t edge = static_cast<std::int64_t>(std::min<std::uint32_t>(threshold, 32768));
          const std::int64_t magnitude = quiet ? std::max<std::int64_t>(0, edge - 1 - (next() % 3)) : edge + offset;
          const std::int64_t v = 32768 + (next() % 2 ? magnitude : -magnitude);
          u.push_back(static_cast<std::uint16_t>(std::clamp<std::int64_t>(v, 0, 65535)));
        }
      }
    };
    for (int round = 0; round < 3000; ++round) {
      std::vector<std::uint16_t> u;
      runs(u, 2 + next() % 400);
      const SilenceScan want = SampleBySample(u, threshold);
      const SilenceScan got = ScanFirstStageSilence(u, threshold);
      ASSERT_EQ(got.kind, want.kind) << "threshold " << threshold << " round " << round;
      ASSERT_EQ(got.run, want.run) << "threshold " << threshold << " round " << round;
      ASSERT_EQ(got.end, want.end) << "threshold " << threshold << " round " << round;

      // A later block that starts inside what this scan found clean, and reads further, resumes
      // the scan at the resume point and gets what a scan from its own start gets.
      const std::size_t resume = SilenceScanResumePoint(u, threshold, got);
      if (resume < 2) continue;
      const std::size_t start = 1 + next() % (resume - 1);
      std::vector<std::uint16_t> later(u.begin() + static_cast<std::ptrdiff_t>(start), u.end());
      runs(later, later.size() + next() % 100);
      const SilenceScan fresh = SampleBySample(later, threshold);
      const SilenceScan resumed = ScanFirstStageSilenceFrom(later, threshold, resume - start);
      ASSERT_EQ(resumed.kind, fresh.kind) << "threshold " << threshold << " round " << round;
      ASSERT_EQ(resumed.run, fresh.run) << "threshold " << threshold << " round " << round;
      ASSERT_EQ(resumed.end, fresh.end) << "threshold " << threshold << " round " << round;
    }
  }
}

}  // namespace
}  // namespace velkin::encoder
