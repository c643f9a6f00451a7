#include "silence_scan.h"

#include <algorithm>

namespace velkin::encoder {
namespace {
constexpr std::uint32_t kShortestRun = 10;
constexpr std::size_t kStride = 16;

// True when none of the 16 samples lies in the quiet range (a loop the compiler turns into vector
// code). A width of all ones stands for an empty range.
bool AllLoud(const std::uint16_t* u, std::uint32_t first_quiet, std::uint32_t width) {
  if (width == 0xFFFFFFFFu) return true;
  std::uint32_t quiet = 0;
  for (std::size_t k = 0; k < kStride; ++k) quiet |= (static_cast<std::uint32_t>(u[k]) - first_quiet) <= width;
  return quiet == 0;
}
}  // namespace

SilenceScan ScanFirstStageSilence(std::span<const std::uint16_t> samples, std::uint32_t threshold) {
  return ScanFirstStageSilenceFrom(samples, threshold, 0);
}

SilenceScan ScanFirstStageSilenceFrom(std::span<const std::uint16_t> samples, std::uint32_t threshold,
                                      std::size_t from) {
  // Signed 64-bit bounds: a threshold above 32768 must not wrap.
  const std::int64_t low = 32768 - static_cast<std::int64_t>(threshold);
  const std::int64_t high = 32768 + static_cast<std::int64_t>(threshold);
  std::uint32_t quiet_run = 0;
  // Samples before `from` are known to hold no run and to end loud: audio has begun there.
  bool audio_begun = from > 0;
  const std::size_t n = samples.size();
  const std::uint16_t* u = samples.data();
  // Quiet samples as one unsigned range test: first quiet value and the width of the range.
  const auto first_quiet = static_cast<std::uint32_t>(std::clamp<std::int64_t>(low + 1, 0, 65536));
  const auto last_quiet = static_cast<std::int64_t>(std::clamp<std::int64_t>(high - 1, -1, 65535));
  const std::uint32_t width =
      last_quiet >= first_quiet ? static_cast<std::uint32_t>(last_quiet - first_quiet) : 0xFFFFFFFFu;
  for (std::size_t j = from; j < n; ++j) {
    // Sixteen loud samples in a row after fewer than ten quiet ones only begin the audio (or keep it
    // going); loud stretches, the common case, are passed over sixteen at a time.
    while (quiet_run < kShortestRun && j + kStride <= n && AllLoud(u + j, first_quiet, width)) {
      audio_begun = true;
      quiet_run = 0;
      j += kStride;
    }
    if (j >= n) break;
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
