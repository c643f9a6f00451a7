#include "reference_runs.h"

namespace velkin::encoder::test {

SilenceScan RunsSampleBySample(std::span<const std::uint16_t> u, std::int64_t low, std::int64_t high,
                               std::uint32_t shortest) {
  std::uint32_t run = 0;
  bool begun = false;
  for (std::size_t j = 0; j < u.size(); ++j) {
    const bool quiet = u[j] > low && u[j] < high;
    if (quiet) ++run;
    if (quiet && j + 1 != u.size()) continue;
    if (run >= shortest) {
      if (!begun) return {SilenceScan::Kind::kLeadingRun, run, 0};
      return {SilenceScan::Kind::kInnerRun, run, static_cast<std::uint32_t>(j)};
    }
    begun = true;
    run = 0;
  }
  return {};
}

}  // namespace velkin::encoder::test
