// The walk both encoders' scans make: count the samples of a run (quiet samples for the silence
// scan, low ones for the 12-bit level scan), and decide at each sample that ends one, which is
// every sample outside the run's range and the last sample of all. Straightforwardly:
//
//   for j in from .. n-1:
//     inside = InRange(u[j]); if inside: run += 1
//     if inside and j is not the last: continue
//     decide(j, run, begun)        (a result ends the walk; otherwise run = 0, begun = true)
//
// Here sixteen samples go at a time, from a bit mask of those outside the range: a decision at an
// outside sample with run 0 after the walk has begun changes nothing, so only the outside samples
// that end a run of inside ones are visited. The last sample is taken on its own.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velkin::encoder {

// A range of sample values, first .. first + width taken modulo 65536: a width of 65535 holds every
// value, kEmptyRange none.
inline constexpr std::uint32_t kEmptyRange = 0xFFFFFFFFu;

inline bool InRange(std::uint16_t u, std::uint32_t first, std::uint32_t width) {
  return width != kEmptyRange && ((u - first) & 0xFFFFu) <= width;
}

// Bit k set when sample k of the sixteen at `u` is outside the range.
inline std::uint32_t OutsideMask16(const std::uint16_t* u, std::uint32_t first, std::uint32_t width) {
  if (width == kEmptyRange) return 0xFFFFu;
  if (width >= 0xFFFFu) return 0;
#if defined(__SSE2__)
  // (u - first) <= width in unsigned 16 bits: the saturating difference to width is zero.
  const __m128i base = _mm_set1_epi16(static_cast<short>(first));
  const __m128i top = _mm_set1_epi16(static_cast<short>(width));
  const __m128i zero = _mm_setzero_si128();
  const auto inside = [&](const std::uint16_t* at) {
    const __m128i d = _mm_sub_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), base);
    return _mm_cmpeq_epi16(_mm_subs_epu16(d, top), zero);
  };
  return ~static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(inside(u), inside(u + 8)))) & 0xFFFFu;
#else
  // (The 32-bit Windows build runs on any x86, without SSE2.)
  std::uint32_t outside = 0;
  for (std::uint32_t k = 0; k < 16; ++k) outside |= static_cast<std::uint32_t>(!InRange(u[k], first, width)) << k;
  return outside;
#endif
}

// Walks u[from .. n-1] as above with the range first .. first + width; `decide(j, run, begun)`
// returns a result to stop with, or nothing. The run and the begun flag start as given.
template <class Result, class Decide>
std::optional<Result> WalkRuns(const std::uint16_t* u, std::size_t from, std::size_t n, std::uint32_t first,
                               std::uint32_t width, std::uint32_t run, bool begun, Decide decide) {
  const auto at = [&](std::size_t j) -> std::optional<Result> {
    if (auto result = decide(j, run, begun)) return result;
    run = 0;
    begun = true;
    return std::nullopt;
  };
  std::size_t j = from;
  // Whole sixteens while the last sample is not among them.
  for (; j + 16 < n; j += 16) {
    const std::uint32_t outside = OutsideMask16(u + j, first, width);
    if (outside == 0) {
      run += 16;
      continue;
    }
    // The outside samples that end a run: those after an inside sample (or after the run carried
    // in); before the walk has begun, every one of them decides.
    std::uint32_t ends = begun ? outside & ~((outside << 1) | (run == 0 ? 1u : 0u)) : outside;
    for (; ends != 0; ends &= ends - 1) {
      const auto k = static_cast<std::uint32_t>(std::countr_zero(ends));
      const std::uint32_t before = outside & ((1u << k) - 1);  // outside samples before k
      if (before != 0)
        run = k - (31u - static_cast<std::uint32_t>(std::countl_zero(before))) - 1;
      else
        run += k;
      if (auto result = at(j + k)) return result;
    }
    // The inside samples after the last outside one carry over.
    run = 15u - (31u - static_cast<std::uint32_t>(std::countl_zero(outside)));
  }
  for (; j < n; ++j) {
    const bool inside = InRange(u[j], first, width);
    if (inside) ++run;
    if (inside && j + 1 != n) continue;
    if (auto result = at(j)) return result;
  }
  return std::nullopt;
}

}  // namespace velkin::encoder
