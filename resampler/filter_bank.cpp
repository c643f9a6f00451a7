#include "filter_bank.h"

#include <algorithm>
#include <new>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VELKIN_X86 1
#endif

namespace velkin::sondrel {

namespace {

// One weighted sample, rounded half up to 14 fraction bits fewer.
inline std::int32_t Product(std::int32_t coefficient, std::int32_t sample) {
  return (coefficient * sample + 8192) >> 14;
}

// Rows hold a multiple of 8 coefficients.
// Both wings of one output sample are summed in one pass: coefficients c against samples x and
// coefficients d against samples y.
using SumFunction = std::int32_t (*)(const std::int16_t*, const std::int16_t*, const std::int16_t*, const std::int16_t*,
                                     std::int32_t);

std::int32_t SumForwardPlain(const std::int16_t* __restrict c, const std::int16_t* __restrict x,
                             const std::int16_t* __restrict d, const std::int16_t* __restrict y, std::int32_t n) {
  std::int32_t sum = 0;
  for (std::int32_t j = 0; j < n; ++j) sum += Product(c[j], x[j]) + Product(d[j], y[j]);
  return sum;
}

#if VELKIN_X86
// The same sums in 16-bit lanes. The 32-bit product c * x is hi * 65536 + lo with lo taken
// unsigned, so (c * x + 8192) >> 14 = 4 * hi + ((lo + 8192) >> 14): the high halves are summed
// four times over in 32 bits (pmaddwd), the small rounding terms (0 to 4 each) in 16-bit lanes,
// which hold the few thousand of them a row has (at most 256 coefficients). A rounding term is
// (q + 1) >> 1 with q = lo >> 13, which is what the unsigned average of q and 0 computes.
inline __m128i RoundingTerms128(__m128i lo) {
  return _mm_avg_epu16(_mm_srli_epi16(lo, 13), _mm_setzero_si128());
}

inline std::int32_t HorizontalSum(__m128i sums, __m128i terms) {
  sums = _mm_add_epi32(sums, _mm_madd_epi16(terms, _mm_set1_epi16(1)));
  sums = _mm_add_epi32(sums, _mm_shuffle_epi32(sums, 0x4E));
  sums = _mm_add_epi32(sums, _mm_shuffle_epi32(sums, 0xB1));
  return _mm_cvtsi128_si32(sums);
}

std::int32_t SumForwardEightLanes(const std::int16_t* c, const std::int16_t* x, const std::int16_t* d,
                                  const std::int16_t* y, std::int32_t n) {
  const __m128i four = _mm_set1_epi16(4);
  __m128i sums = _mm_setzero_si128();
  __m128i terms = _mm_setzero_si128();
  for (std::int32_t j = 0; j < n; j += 8) {
    for (const auto& [k, s] : {std::pair{c, x}, std::pair{d, y}}) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(k + j));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + j));
      sums = _mm_add_epi32(sums, _mm_madd_epi16(_mm_mulhi_epi16(a, b), four));
      terms = _mm_add_epi16(terms, RoundingTerms128(_mm_mullo_epi16(a, b)));
    }
  }
  return HorizontalSum(sums, terms);
}

[[gnu::target("avx2")]] std::int32_t SumForwardSixteenLanes(const std::int16_t* c, const std::int16_t* x,
                                                            const std::int16_t* d, const std::int16_t* y,
                                                            std::int32_t n) {
  const __m256i four = _mm256_set1_epi16(4);
  const __m256i zero = _mm256_setzero_si256();
  __m256i sums = _mm256_setzero_si256();
  __m256i terms = _mm256_setzero_si256();
  for (std::int32_t j = 0; j + 16 <= n; j += 16) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c + j));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + j));
    const __m256i e = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + j));
    const __m256i f = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(y + j));
    const __m256i high = _mm256_add_epi16(_mm256_mulhi_epi16(a, b), _mm256_mulhi_epi16(e, f));
    sums = _mm256_add_epi32(sums, _mm256_madd_epi16(high, four));
    const __m256i lo = _mm256_mullo_epi16(a, b);
    const __m256i lo2 = _mm256_mullo_epi16(e, f);
    // (The two high halves add up within 16 bits: each lies in -16384 .. 16383.)
    terms = _mm256_add_epi16(terms, _mm256_add_epi16(_mm256_avg_epu16(_mm256_srli_epi16(lo, 13), zero),
                                                     _mm256_avg_epu16(_mm256_srli_epi16(lo2, 13), zero)));
  }
  const std::int32_t j = n & ~15;
  __m128i sums128 = _mm_add_epi32(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
  __m128i terms128 = _mm_add_epi16(_mm256_castsi256_si128(terms), _mm256_extracti128_si256(terms, 1));
  if (j < n) {  // the last eight of each row
    for (const auto& [k, s] : {std::pair{c + j, x + j}, std::pair{d + j, y + j}}) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(k));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
      sums128 = _mm_add_epi32(sums128, _mm_madd_epi16(_mm_mulhi_epi16(a, b), _mm_set1_epi16(4)));
      terms128 = _mm_add_epi16(terms128, RoundingTerms128(_mm_mullo_epi16(a, b)));
    }
  }
  return HorizontalSum(sums128, terms128);
}

// Thirty-two lanes (AVX-512BW) as sixteen above, for rows of whole steps of 32 (a row of 96
// coefficients is three steps).
[[gnu::target("avx512bw")]] std::int32_t SumForwardThirtyTwoLanes(const std::int16_t* c, const std::int16_t* x,
                                                                  const std::int16_t* d, const std::int16_t* y,
                                                                  std::int32_t n) {
  const __m512i four = _mm512_set1_epi16(4);
  const __m512i one = _mm512_set1_epi16(1);
  const __m512i zero = _mm512_setzero_si512();
  __m512i sums = _mm512_setzero_si512();
  __m512i terms = _mm512_setzero_si512();
  for (std::int32_t j = 0; j < n; j += 32) {
    const __m512i a = _mm512_loadu_si512(c + j);
    const __m512i b = _mm512_loadu_si512(x + j);
    const __m512i e = _mm512_loadu_si512(d + j);
    const __m512i f = _mm512_loadu_si512(y + j);
    const __m512i high = _mm512_add_epi16(_mm512_mulhi_epi16(a, b), _mm512_mulhi_epi16(e, f));
    sums = _mm512_add_epi32(sums, _mm512_madd_epi16(high, four));
    const __m512i r1 = _mm512_avg_epu16(_mm512_srli_epi16(_mm512_mullo_epi16(a, b), 13), zero);
    const __m512i r2 = _mm512_avg_epu16(_mm512_srli_epi16(_mm512_mullo_epi16(e, f), 13), zero);
    terms = _mm512_add_epi16(terms, _mm512_add_epi16(r1, r2));
  }
  // (Added up through memory: GCC 12's lane extracts and shuffles read an uninitialised operand.)
  alignas(64) std::int32_t lanes[16];
  _mm512_store_si512(lanes, _mm512_add_epi32(sums, _mm512_madd_epi16(terms, one)));
  std::int32_t sum = 0;
  for (const std::int32_t lane : lanes) sum += lane;
  return sum;
}
#endif

// The widest sum `level` runs on rows of `stride` coefficients: thirty-two lanes only for whole
// steps of 32 (a half step under a mask costs more than two steps of sixteen).
SumFunction SumFor(cpu::Level level, std::int32_t stride) {
#if VELKIN_X86
  switch (level) {
    case cpu::Level::kPlain:
      return &SumForwardPlain;
    case cpu::Level::kSse2:
      return &SumForwardEightLanes;
    case cpu::Level::kAvx2:
      return &SumForwardSixteenLanes;
    case cpu::Level::kAvx512:
      return stride % 32 == 0 ? &SumForwardThirtyTwoLanes : &SumForwardSixteenLanes;
  }
  return &SumForwardPlain;
#else
  (void)level;
  (void)stride;
  return &SumForwardPlain;
#endif
}

}  // namespace

bool FilterBank::Prepare(const std::int16_t* table, const std::int16_t* delta, std::int32_t length, std::uint32_t step,
                         bool interpolate) {
  Release();
  if (step == 0 || length <= 0) return false;
  table_ = table;
  delta_ = delta;
  length_ = length;
  step_ = step;
  interpolate_ = interpolate;
  const std::uint64_t span = static_cast<std::uint64_t>(length) << 7;
  const std::uint64_t longest = (span + step - 1) / step;
  stride_ = static_cast<std::int32_t>((longest + 7) & ~std::uint64_t{7});
  sum_ = SumFor(level_, stride_);
  const std::size_t rows = static_cast<std::size_t>(step) + 1;  // starts 0 .. H (H: phase 0, newer wing)
  rows_ = AllocateLargeMemory(rows * static_cast<std::size_t>(stride_));
  state_.reset(new (std::nothrow) std::uint8_t[rows]());
  count_.reset(new (std::nothrow) std::uint16_t[rows]);
  if (!rows_ || !state_ || !count_) {
    Release();
    return false;
  }
  return true;
}

void FilterBank::Release() {
  rows_.reset();
  state_.reset();
  count_.reset();
  stride_ = 0;
}

void FilterBank::Build(std::uint32_t start) {
  std::int16_t* row = rows_.get() + static_cast<std::size_t>(start) * static_cast<std::size_t>(stride_);
  std::int32_t n = 0;
  std::uint32_t last = start;
  for (std::uint32_t p = start; static_cast<std::int32_t>(p >> 7) < length_; p += step_) {
    const std::int32_t h = static_cast<std::int32_t>(p >> 7);
    std::int32_t k = table_[h];
    // Interpolated between two neighbouring entries, so it stays a 16-bit value.
    if (interpolate_) k += (delta_[h] * static_cast<std::int32_t>(p & 0x7F)) >> 7;
    row[n++] = static_cast<std::int16_t>(k);
    last = p;
  }
  std::fill(row + n, row + stride_, std::int16_t{0});
  count_[start] = static_cast<std::uint16_t>(n);
  state_[start] = static_cast<std::uint8_t>(1 + (n > 0 && static_cast<std::int32_t>(last >> 7) == length_ - 1));
}

const std::int16_t* FilterBank::Row(std::uint32_t start) {
  if (state_[start] == 0) Build(start);
  return rows_.get() + static_cast<std::size_t>(start) * static_cast<std::size_t>(stride_);
}

void FilterBank::Prefetch(std::uint32_t position) {
  const std::uint32_t older = ((position & 0x7FFF) * step_) >> 15;
  const std::uint32_t phase = (0u - position) & 0x7FFF;
  const std::uint32_t newer = phase == 0 ? step_ : (phase * step_) >> 15;
  for (const std::uint32_t start : {older, newer}) {
    const std::int16_t* row = Row(start);
    for (std::int32_t j = 0; j < stride_; j += 32) __builtin_prefetch(row + j);  // one cache line per step
  }
}

std::int32_t FilterBank::Sum(const std::int16_t* reversed, std::uint32_t phase, const std::int16_t* x,
                             std::uint32_t mirrored) {
  const std::uint32_t older = (phase * step_) >> 15;
  std::uint32_t newer = (mirrored * step_) >> 15;
  if (mirrored == 0) newer += step_;
  const std::int16_t* older_row = Row(older);
  const std::int16_t* newer_row = Row(newer);
  std::int32_t sum = sum_(older_row, reversed, newer_row, x, stride_);
  if (state_[newer] == 2) {
    const std::int32_t last = count_[newer] - 1;
    sum -= Product(newer_row[last], x[last]);
  }
  return sum;
}

}  // namespace velkin::sondrel
