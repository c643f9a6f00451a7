#include "silence_scan.h"

#include <algorithm>
#include <bit>
#include <optional>

// SSE2 where the build has it (every 64-bit x86 build); the 32-bit Windows build runs on any x86
// and takes the plain loop.
#if defined(__SSE2__)
#include <emmintrin.h>
#define VELKIN_SSE2 1
#endif

namespace velkin::encoder {
namespace {
constexpr std::uint32_t kShortestRun = 10;

// The quiet values as one unsigned range: u is quiet when (u - first) mod 65536 <= width; a width
// of all ones stands for an empty range, 65535 or more for every value.
struct QuietRange {
  std::uint32_t first;
  std::uint32_t width;
};

// Bit k set when sample k of the sixteen at `u` is loud.
std::uint32_t LoudMask16(const std::uint16_t* u, QuietRange range) {
  if (range.width == 0xFFFFFFFFu) return 0xFFFFu;
  if (range.width >= 0xFFFFu) return 0;
#if VELKIN_SSE2
  // (u - first) <= width in unsigned 16 bits: the saturating difference to width is zero.
  const __m128i first = _mm_set1_epi16(static_cast<short>(range.first));
  const __m128i width = _mm_set1_epi16(static_cast<short>(range.width));
  const __m128i zero = _mm_setzero_si128();
  const auto quiet = [&](const std::uint16_t* at) {
    const __m128i d = _mm_sub_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), first);
    return _mm_cmpeq_epi16(_mm_subs_epu16(d, width), zero);
  };
  return ~static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(quiet(u), quiet(u + 8)))) & 0xFFFFu;
#else
  std::uint32_t loud = 0;
  for (std::uint32_t k = 0; k < 16; ++k) {
    loud |= static_cast<std::uint32_t>(((u[k] - range.first) & 0xFFFFu) > range.width) << k;
  }
  return loud;
#endif
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
  const auto first_quiet = static_cast<std::uint32_t>(std::clamp<std::int64_t>(low + 1, 0, 65536));
  const auto last_quiet = static_cast<std::int64_t>(std::clamp<std::int64_t>(high - 1, -1, 65535));
  const QuietRange range{first_quiet & 0xFFFFu, last_quiet >= first_quiet
                                                    ? static_cast<std::uint32_t>(last_quiet - first_quiet)
                                                    : 0xFFFFFFFFu};
  const std::size_t n = samples.size();
  const std::uint16_t* u = samples.data();
  std::uint32_t quiet_run = 0;
  // Samples before `from` are known to hold no run and to end loud: audio has begun there.
  bool audio_begun = from > 0;
  // A decision point: a loud sample, or the last one.
  const auto decide = [&](std::size_t j) -> std::optional<SilenceScan> {
    if (quiet_run >= kShortestRun) {
      if (!audio_begun) return SilenceScan{SilenceScan::Kind::kLeadingRun, quiet_run, 0};
      return SilenceScan{SilenceScan::Kind::kInnerRun, quiet_run, static_cast<std::uint32_t>(j)};
    }
    audio_begun = true;
    quiet_run = 0;
    return std::nullopt;
  };
  std::size_t j = from;
  // Sixteen samples at a time while the last sample is not among them: quiet samples only count,
  // so only the loud ones are visited, in order.
  for (; j + 16 < n; j += 16) {
    std::uint32_t next = 0;  // the first sample of the sixteen not yet counted
    for (std::uint32_t loud = LoudMask16(u + j, range); loud != 0; loud &= loud - 1) {
      const auto k = static_cast<std::uint32_t>(std::countr_zero(loud));
      quiet_run += k - next;
      if (const auto scan = decide(j + k)) return *scan;
      next = k + 1;
    }
    quiet_run += 16 - next;
  }
  for (; j < n; ++j) {
    const bool quiet = u[j] > low && u[j] < high;
    if (quiet) ++quiet_run;
    if (quiet && j + 1 != n) continue;
    if (const auto scan = decide(j)) return *scan;
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
