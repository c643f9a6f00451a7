#include "silence_scan.h"

#include <algorithm>
#include <bit>

#if defined(__x86_64__) || defined(__i386__)
#include <emmintrin.h>
#define VELKIN_RUN_FINDER_SSE2 1
#else
#define VELKIN_RUN_FINDER_SSE2 0
#endif

namespace velkin::encoder {
namespace {

constexpr std::uint32_t kShortestSilentRun = 10;
constexpr std::size_t kChunk = 64;

// Bit k set when samples[k] lies in first..last, for samples k .. count - 1 (count at most 64).
std::uint64_t InRangeBitsPlain(const std::uint16_t* u, std::size_t k, std::size_t count, std::uint16_t first,
                               std::uint16_t last) {
  std::uint64_t bits = 0;
  for (; k < count; ++k) bits |= std::uint64_t{u[k] >= first && u[k] <= last} << k;
  return bits;
}

#if VELKIN_RUN_FINDER_SSE2
// The same for all `count` samples, sixteen at a time. Compiled for SSE2 also where the build's
// baseline lacks it (32-bit), and called only at that level.
[[gnu::target("sse2")]] std::uint64_t InRangeBitsSse2(const std::uint16_t* u, std::size_t count, std::uint16_t first,
                                                      std::uint16_t last) {
  std::uint64_t bits = 0;
  std::size_t k = 0;
  // Signed compares of the samples with bit 15 flipped are the unsigned ones.
  const __m128i flip = _mm_set1_epi16(static_cast<short>(0x8000));
  const __m128i lowest = _mm_set1_epi16(static_cast<short>(first ^ 0x8000));
  const __m128i highest = _mm_set1_epi16(static_cast<short>(last ^ 0x8000));
  for (; k + 16 <= count; k += 16) {
    const __m128i a = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(u + k)), flip);
    const __m128i b = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(u + k + 8)), flip);
    const __m128i out_a = _mm_or_si128(_mm_cmplt_epi16(a, lowest), _mm_cmpgt_epi16(a, highest));
    const __m128i out_b = _mm_or_si128(_mm_cmplt_epi16(b, lowest), _mm_cmpgt_epi16(b, highest));
    const auto out = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(out_a, out_b)));
    bits |= std::uint64_t{~out & 0xFFFFu} << k;
  }
  return bits | InRangeBitsPlain(u, k, count, first, last);
}
#endif

std::uint64_t InRangeBits(cpu::Level level, const std::uint16_t* u, std::size_t count, std::uint16_t first,
                          std::uint16_t last) {
#if VELKIN_RUN_FINDER_SSE2
  if (level >= cpu::Level::kSse2) return InRangeBitsSse2(u, count, first, last);
#else
  (void)level;
#endif
  return InRangeBitsPlain(u, 0, count, first, last);
}

}  // namespace

SilenceScan FirstRun(std::span<const std::uint16_t> samples, std::uint16_t first, std::uint16_t last,
                     std::uint32_t shortest, std::size_t from, cpu::Level level) {
  level = cpu::Runnable(level);
  const std::size_t n = samples.size();
  const std::uint16_t* u = samples.data();
  std::uint32_t run = 0;
  // Samples before `from` are known to hold no run and to end out of range: the block has begun.
  bool begun = from > 0;
  // Runs are found 64 samples at a time from a bit per sample: a run ends at the first sample
  // out of range after it, and a stretch out of range only marks the block as begun.
  for (std::size_t base = from; base < n; base += kChunk) {
    const std::size_t count = std::min(kChunk, n - base);
    const std::uint64_t in_range = first > last ? 0 : InRangeBits(level, u + base, count, first, last);
    std::size_t k = 0;
    while (k < count) {
      const std::uint64_t rest = in_range >> k;  // k < 64
      const auto ones = std::min<std::size_t>(static_cast<std::size_t>(std::countr_one(rest)), count - k);
      run += static_cast<std::uint32_t>(ones);
      k += ones;
      if (k == count) break;
      // Sample base + k is out of range and ends the run.
      if (run >= shortest) {
        if (!begun) return {SilenceScan::Kind::kLeadingRun, run, 0};
        return {SilenceScan::Kind::kInnerRun, run, static_cast<std::uint32_t>(base + k)};
      }
      begun = true;
      run = 0;
      const std::uint64_t after = in_range >> k;
      k += std::min<std::size_t>(after == 0 ? kChunk : static_cast<std::size_t>(std::countr_zero(after)), count - k);
    }
  }
  // A run that reaches the last sample ends there.
  if (n > 0 && run >= shortest) {
    if (!begun) return {SilenceScan::Kind::kLeadingRun, run, 0};
    return {SilenceScan::Kind::kInnerRun, run, static_cast<std::uint32_t>(n - 1)};
  }
  return {};
}

SilenceScan ScanFirstStageSilence(std::span<const std::uint16_t> samples, std::uint32_t threshold) {
  return ScanFirstStageSilenceFrom(samples, threshold, 0);
}

SilenceScan ScanFirstStageSilenceFrom(std::span<const std::uint16_t> samples, std::uint32_t threshold,
                                      std::size_t from) {
  // Quiet: 32768 - A < u < 32768 + A, in signed 64 bits so that a threshold above 32768 does not wrap.
  const std::int64_t first = std::max<std::int64_t>(32768 - static_cast<std::int64_t>(threshold) + 1, 0);
  const std::int64_t last = std::min<std::int64_t>(32768 + static_cast<std::int64_t>(threshold) - 1, 65535);
  if (first > last) return FirstRun(samples, 1, 0, kShortestSilentRun, from);
  return FirstRun(samples, static_cast<std::uint16_t>(first), static_cast<std::uint16_t>(last), kShortestSilentRun,
                  from);
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
