#include "pcm12_block.h"

#include <bit>
#include <optional>

// SSE2 where the build has it (every 64-bit x86 build); the 32-bit Windows build runs on any x86
// and takes the plain loop.
#if defined(__SSE2__)
#include <emmintrin.h>
#define VELKIN_SSE2 1
#endif

namespace velkin::pcm12 {
namespace {

constexpr std::uint32_t kShortBlock = 1024;
constexpr std::uint32_t kLowLevelRun = 256;

bool IsLow(std::uint16_t u) {
  return u > 29768 && u < 35768;
}
bool IsNearZero(std::span<const std::uint16_t> buffer, std::size_t read, std::size_t i) {
  return i >= read || (buffer[i] > 32705 && buffer[i] < 32831);
}

}  // namespace

std::uint32_t LengthBeforeSilence(std::uint32_t end, std::uint32_t run, std::uint32_t n) {
  if (end - run > kShortBlock - 1) return end - run;
  return n > kShortBlock ? kShortBlock : n;
}

namespace {

// Bit k set when sample k of the sixteen at `u` is not low.
std::uint32_t LoudMask16(const std::uint16_t* u) {
#if VELKIN_SSE2
  // Low is -3000 < s < 3000 with s = u - 32768, which flipping bit 15 turns into a signed lane.
  const __m128i flip = _mm_set1_epi16(static_cast<short>(0x8000));
  const __m128i above = _mm_set1_epi16(-3000);
  const __m128i below = _mm_set1_epi16(3000);
  const __m128i a = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(u)), flip);
  const __m128i b = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(u + 8)), flip);
  const __m128i low_a = _mm_and_si128(_mm_cmpgt_epi16(a, above), _mm_cmplt_epi16(a, below));
  const __m128i low_b = _mm_and_si128(_mm_cmpgt_epi16(b, above), _mm_cmplt_epi16(b, below));
  return ~static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(low_a, low_b))) & 0xFFFFu;
#else
  std::uint32_t loud = 0;
  for (std::uint32_t k = 0; k < 16; ++k) loud |= static_cast<std::uint32_t>(!IsLow(u[k])) << k;
  return loud;
#endif
}

}  // namespace

BlockShape ScanLowLevel(std::span<const std::uint16_t> samples) {
  const auto j_limit = static_cast<std::uint32_t>(samples.size());
  std::uint32_t low_run = 0;
  bool begun = false;
  // A decision point: a sample that is not low, or the last one.
  const auto decide = [&](std::uint32_t j) -> std::optional<BlockShape> {
    if (low_run >= kLowLevelRun) {
      if (!begun) return BlockShape{BlockMode::kLowLevel, low_run};
      // A quiet passage later in the block: end the loud part before it, so that the passage can
      // become a low-level block of its own.
      return BlockShape{BlockMode::kNormal, LengthBeforeSilence(j, low_run, j_limit)};
    }
    begun = true;
    low_run = 0;
    return std::nullopt;
  };
  std::uint32_t j = 0;
  // Sixteen samples at a time while the last sample is not among them: low samples only count,
  // so only the loud ones are visited, in order.
  for (; j + 16 < j_limit; j += 16) {
    std::uint32_t next = 0;  // the first sample of the sixteen not yet counted
    for (std::uint32_t loud = LoudMask16(samples.data() + j); loud != 0; loud &= loud - 1) {
      const auto k = static_cast<std::uint32_t>(std::countr_zero(loud));
      low_run += k - next;
      if (const auto shape = decide(j + k)) return *shape;
      next = k + 1;
    }
    low_run += 16 - next;
  }
  for (; j < j_limit; ++j) {
    const bool low = IsLow(samples[j]);
    if (low) ++low_run;
    if (low && j + 1 != j_limit) continue;
    if (const auto shape = decide(j)) return *shape;
  }
  return {BlockMode::kNormal, j_limit};
}

std::uint32_t NearZeroEnd(std::span<const std::uint16_t> buffer, std::size_t read, std::uint32_t j_limit,
                          BlockShape provisional) {
  const std::uint32_t p = provisional.length;
  if (provisional.mode == BlockMode::kLowLevel) {
    for (std::uint32_t x = p; x >= 1; --x) {
      if (IsNearZero(buffer, read, x)) return x == p ? p : x + 1;
    }
    return p;
  }
  for (std::uint32_t x = p; x < j_limit; ++x) {
    if (IsNearZero(buffer, read, x)) return x + 1;
  }
  for (std::uint32_t x = j_limit; x >= 1; --x) {
    if (IsNearZero(buffer, read, x)) return x == j_limit ? j_limit : x + 1;
  }
  return j_limit;
}

std::uint16_t StoredWord(std::uint16_t u, BlockMode mode) {
  if (mode == BlockMode::kNormal) return u;
  const std::int32_t s = static_cast<std::int32_t>(u) - 32768;
  return static_cast<std::uint16_t>(32768 + 8 * s + (s < 0 ? 7 : 0));
}

std::vector<std::uint8_t> BlockRecord(std::span<const std::uint16_t> samples, BlockMode mode) {
  std::vector<std::uint8_t> r;
  BlockRecord(samples, mode, r);
  return r;
}

void BlockRecord(std::span<const std::uint16_t> samples, BlockMode mode, std::vector<std::uint8_t>& r) {
  const auto length = static_cast<std::uint32_t>(samples.size());
  r.resize(3 + length / 2 * 3 + (length % 2) * 2);
  std::uint8_t* out = r.data();
  const std::uint32_t word = (length - 1) | (mode == BlockMode::kNormal ? 0x8000u : 0u);
  *out++ = kBlockTag;
  *out++ = static_cast<std::uint8_t>(word);
  *out++ = static_cast<std::uint8_t>(word >> 8);
  std::size_t i = 0;
  for (; i + 1 < samples.size(); i += 2) {
    const std::uint16_t a = StoredWord(samples[i], mode);
    const std::uint16_t b = StoredWord(samples[i + 1], mode);
    *out++ = static_cast<std::uint8_t>(a >> 8);
    *out++ = static_cast<std::uint8_t>((a & 0xF0u) | ((b >> 4) & 0x0Fu));
    *out++ = static_cast<std::uint8_t>(b >> 8);
  }
  if (i < samples.size()) {
    const std::uint16_t a = StoredWord(samples[i], mode);
    *out++ = static_cast<std::uint8_t>(a >> 8);
    *out++ = static_cast<std::uint8_t>(a & 0xF0u);
  }
}

}  // namespace velkin::pcm12
