// The run scans, which look at 64 samples at a time, against the rules applied sample by sample:
// the first-stage silence scan (also resumed where an earlier scan found no run) on blocks made of
// quiet and loud runs of every length and on thresholds up to ones that make every sample quiet,
// and the run finder, at every vector level, on long runs and on ranges at the ends of the sample
// values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "encoders/common/silence_scan.h"
#include "reference_runs.h"

namespace velkin::encoder {
namespace {

using test::RunsSampleBySample;

SilenceScan SampleBySample(const std::vector<std::uint16_t>& u, std::uint32_t threshold) {
  return RunsSampleBySample(u, 32768 - static_cast<std::int64_t>(threshold),
                            32768 + static_cast<std::int64_t>(threshold), 10);
}

void ExpectSame(const SilenceScan& got, const SilenceScan& want, const std::string& where) {
  ASSERT_EQ(got.kind, want.kind) << where;
  ASSERT_EQ(got.run, want.run) << where;
  ASSERT_EQ(got.end, want.end) << where;
}

TEST(FirstStageSilence, AgreesWithTheRuleSampleBySample) {
  std::uint32_t r = 77;
  auto next = [&r] {
    r = r * 1664525u + 1013904223u;
    return r >> 8;
  };
  for (const std::uint32_t threshold : {4u, 5u, 300u, 32767u, 32768u, 32769u, 70000u, 0xFFFFFFFFu}) {
    for (int round = 0; round < 3000; ++round) {
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
      std::vector<std::uint16_t> u;
      runs(u, 2 + next() % 400);
      const std::string where = "threshold " + std::to_string(threshold) + " round " + std::to_string(round);
      const SilenceScan scan = ScanFirstStageSilence(u, threshold);
      ExpectSame(scan, SampleBySample(u, threshold), where);

      // A later block that starts inside what this scan found free of runs, and reads further,
      // resumes the scan at the resume point and gets what a scan from its own start gets.
      const std::size_t resume = SilenceScanResumePoint(u, threshold, scan);
      if (resume < 2) continue;
      const std::size_t start = 1 + next() % (resume - 1);
      std::vector<std::uint16_t> later(u.begin() + static_cast<std::ptrdiff_t>(start), u.end());
      runs(later, later.size() + next() % 100);
      ExpectSame(ScanFirstStageSilenceFrom(later, threshold, resume - start), SampleBySample(later, threshold),
                 where + " resumed");
    }
  }
}

TEST(RunFinder, AgreesWithTheRuleOnLongRunsAndRangesAtTheEnds) {
  std::uint32_t r = 91;
  auto next = [&r] {
    r = r * 1664525u + 1013904223u;
    return r >> 8;
  };
  struct Range {
    std::uint16_t first, last;
  };
  // The low-level range of the 12-bit coder, the whole range, its ends, one value, and empty.
  for (const Range range :
       {Range{29769, 35767}, Range{0, 65535}, Range{0, 40}, Range{65500, 65535}, Range{32768, 32768}, Range{1, 0}}) {
    for (const std::uint32_t shortest : {1u, 63u, 64u, 65u, 256u}) {
      for (int round = 0; round < 400; ++round) {
        std::vector<std::uint16_t> u;
        const std::size_t n = next() % 1200;
        while (u.size() < n) {
          // Runs in and out of the range around the lengths that matter, across the 64-sample steps.
          const std::size_t run = next() % 3 == 0 ? 1 + next() % 8 : shortest + next() % 5 - std::min(shortest, 2u);
          const bool inside = next() % 2 == 0;
          for (std::size_t k = 0; k < run && u.size() < n; ++k) {
            const std::uint32_t width = range.last >= range.first ? range.last - range.first + 1u : 0u;
            std::uint32_t v = next() % 65536;
            if (inside && width > 0) v = range.first + (next() % 2 ? 0 : next() % width);
            if (!inside && width < 65536) {
              while (width > 0 && v >= range.first && v <= range.last) v = next() % 65536;
            }
            u.push_back(static_cast<std::uint16_t>(v));
          }
        }
        const SilenceScan want =
            RunsSampleBySample(u, std::int64_t{range.first} - 1, std::int64_t{range.last} + 1, shortest);
        for (const cpu::Level level : {cpu::Level::kPlain, cpu::Runnable(cpu::Level::kSse2)}) {
          ExpectSame(FirstRun(u, range.first, range.last, shortest, 0, level), want,
                     "range " + std::to_string(range.first) + ".." + std::to_string(range.last) + " shortest " +
                         std::to_string(shortest) + " round " + std::to_string(round) + " " + cpu::Name(level));
        }
      }
    }
  }
}

}  // namespace
}  // namespace velkin::encoder
