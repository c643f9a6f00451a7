#include "silence_scan.h"

namespace velkin::encoder {
namespace {
constexpr std::uint32_t kShortestRun = 10;
}

SilenceScan ScanFirstStageSilence(std::span<const std::uint16_t> samples, std::uint32_t threshold) {
  // Signed 64-bit bounds: a threshold above 32768 must not wrap.
  const std::int64_t low = 32768 - static_cast<std::int64_t>(threshold);
  const std::int64_t high = 32768 + static_cast<std::int64_t>(threshold);
  std::uint32_t quiet_run = 0;
  bool audio_begun = false;
  const std::size_t n = samples.size();
  const std::uint16_t* u = samples.data();
  for (std::size_t j = 0; j < n; ++j) {
    const bool quiet = u[j] > low && u[j] < high;
    if (quiet) ++quiet_run;
    if (quiet && j + 1 != n) continue;
    if (quiet_run >= kShortestRun) {
      if (!audio_begun) return {SilenceScan::Kind::kLeadingRun, quiet_run, 0};
      return {SilenceScan::Kind::kInnerRun, quiet_run, static_cast<std::uint32_t>(j)};
    }
    audio_begun = true;
    quiet_run = 0;
  }
  return {};
}

}  // namespace velkin::encoder
