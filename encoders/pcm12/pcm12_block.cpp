#include "pcm12_block.h"

#include "encoders/common/silence_scan.h"

namespace velkin::pcm12 {
namespace {

constexpr std::uint32_t kShortBlock = 1024;
constexpr std::uint32_t kLowLevelRun = 256;

// Low: within +-3000 (29769 .. 35767 offset binary).
constexpr std::uint16_t kLowestLow = 29769;
constexpr std::uint16_t kHighestLow = 35767;
bool IsNearZero(std::span<const std::uint16_t> buffer, std::size_t read, std::size_t i) {
  return i >= read || (buffer[i] > 32705 && buffer[i] < 32831);
}

}  // namespace

std::uint32_t LengthBeforeSilence(std::uint32_t end, std::uint32_t run, std::uint32_t n) {
  if (end - run > kShortBlock - 1) return end - run;
  return n > kShortBlock ? kShortBlock : n;
}

BlockShape ScanLowLevel(std::span<const std::uint16_t> samples) {
  const auto j_limit = static_cast<std::uint32_t>(samples.size());
  const encoder::SilenceScan low = encoder::FirstRun(samples, kLowestLow, kHighestLow, kLowLevelRun);
  switch (low.kind) {
    case encoder::SilenceScan::Kind::kLeadingRun:
      return {BlockMode::kLowLevel, low.run};
    case encoder::SilenceScan::Kind::kInnerRun:
      // A quiet passage later in the block: end the loud part before it, so that the passage can
      // become a low-level block of its own.
      return {BlockMode::kNormal, LengthBeforeSilence(low.end, low.run, j_limit)};
    case encoder::SilenceScan::Kind::kNone:
      break;
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
