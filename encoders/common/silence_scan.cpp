#include "silence_scan.h"

#include <algorithm>

#include "run_walk.h"

namespace velkin::encoder {
namespace {
constexpr std::uint32_t kShortestRun = 10;
}  // namespace

SilenceScan ScanFirstStageSilence(std::span<const std::uint16_t> samples, std::uint32_t threshold) {
  return ScanFirstStageSilenceFrom(samples, threshold, 0);
}

SilenceScan ScanFirstStageSilenceFrom(std::span<const std::uint16_t> samples, std::uint32_t threshold,
                                      std::size_t from) {
  // Quiet is 32768 - A < u < 32768 + A, in signed 64 bits so that a threshold above 32768 does
  // not wrap, as one range of values.
  const std::int64_t first = std::max<std::int64_t>(32768 - static_cast<std::int64_t>(threshold) + 1, 0);
  const std::int64_t last = std::min<std::int64_t>(32768 + static_cast<std::int64_t>(threshold) - 1, 65535);
  const std::uint32_t width = last >= first ? static_cast<std::uint32_t>(last - first) : kEmptyRange;
  // Samples before `from` are known to hold no run and to end loud: audio has begun there.
  const auto scan =
      WalkRuns<SilenceScan>(samples.data(), from, samples.size(), static_cast<std::uint32_t>(first), width, 0, from > 0,
                            [](std::size_t j, std::uint32_t run, bool begun) -> std::optional<SilenceScan> {
                              if (run < kShortestRun) return std::nullopt;
                              if (!begun) return SilenceScan{SilenceScan::Kind::kLeadingRun, run, 0};
                              return SilenceScan{SilenceScan::Kind::kInnerRun, run, static_cast<std::uint32_t>(j)};
                            });
  return scan.value_or(SilenceScan{});
}

std::size_t SilenceScanResumePoint(std::span<const std::uint16_t> samples, std::uint32_t threshold,
                                   const SilenceScan& scan) {
  if (scan.kind == SilenceScan::Kind::kLeadingRun) return 0;
  if (scan.kind == SilenceScan::Kind::kInnerRun) return scan.end - scan.run;
  // No run: the quiet samples at the end (fewer than ten) may grow into one further on.
  const std::int64_t low = 32768 - static_cast<std::int64_t>(threshold);
  const std::int64_t high = 32768 + static_cast<std::int64_t>(threshold);
  std::size_t end = samples.size();
  while (end > 0 && samples[end - 1] > low && samples[end - 1] < high) --end;
  return end;
}

}  // namespace velkin::encoder
