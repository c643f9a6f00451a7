#include "code_file_layout.h"

#include <algorithm>
#include <cmath>

#include "le_bytes.h"

namespace velkin::codefile {

using bytes::AppendU16;
using bytes::AppendU8;

std::uint8_t RateCode(std::uint32_t sample_rate) {
  for (std::size_t code = 0; code < kRates.size(); ++code) {
    if (kRates[code] == sample_rate) return static_cast<std::uint8_t>(code);
  }
  return kOtherRateCode;
}

std::optional<std::vector<std::uint8_t>> Header(std::uint32_t sample_count, std::uint32_t sample_rate,
                                                std::uint32_t clock, std::uint8_t format_byte) {
  if (sample_rate == 0) return std::nullopt;
  std::vector<std::uint8_t> h;
  AppendU8(h, sample_count);
  AppendU8(h, sample_count >> 8);
  AppendU8(h, sample_count >> 16);
  AppendU8(h, RateCode(sample_rate) * 16u + kRateNibble);
  AppendU8(h, format_byte);
  // The divisors are formed in 64 bits: in 32 bits a huge rate from a hostile file could wrap them to 0.
  const std::uint64_t rate = sample_rate;
  if (clock == kFourReloadClock) {
    for (std::uint64_t m = 1; m <= 4; ++m) AppendU16(h, 65536u - static_cast<std::uint32_t>(m * clock / (4 * rate)));
  } else {
    for (std::uint32_t i = 0; i < 8; ++i) {
      const auto q = static_cast<std::uint32_t>(clock / ((std::uint64_t{8} << i) * rate));
      if (q < 256) {
        AppendU8(h, 256u - q);
        AppendU8(h, i);
        break;
      }
    }
    AppendU16(h, 65536u - static_cast<std::uint32_t>(clock / (4 * rate)));
  }
  AppendU8(h, kHeaderEnd);
  return h;
}

std::vector<std::uint8_t> RegionMarker(std::uint8_t escape_byte, std::uint8_t type, std::uint32_t cue_index,
                                       std::uint8_t label) {
  return {escape_byte, type, static_cast<std::uint8_t>(kMarkerCueBase | (cue_index & kMarkerCueMask)), label};
}

std::vector<std::uint8_t> SilenceRecord(std::uint8_t escape_byte, std::uint32_t run) {
  std::vector<std::uint8_t> r{escape_byte};
  AppendU16(r, kSilenceBase + run);
  return r;
}

bool LooksLikeHeader(std::span<const std::uint8_t> file) {
  return file.size() >= kHeaderFixedBytes + 3 && (file[3] & 0x0F) == kRateNibble;
}

std::optional<HeaderFields> ReadHeader(std::span<const std::uint8_t> file, std::size_t timer_length) {
  const std::size_t end = kHeaderFixedBytes + timer_length;
  if (!LooksLikeHeader(file) || end >= file.size() || file[end] != kHeaderEnd) return std::nullopt;
  HeaderFields h;
  h.declared_samples = bytes::LoadU24(file, 0);
  h.rate_code = file[3] >> 4;
  h.format_byte = file[4];
  h.timer_bytes.assign(file.begin() + kHeaderFixedBytes, file.begin() + static_cast<std::ptrdiff_t>(end));
  h.stream_start = end + 1;
  return h;
}

std::uint32_t RateOf(const HeaderFields& header, std::uint32_t clock) {
  if (header.rate_code < kRates.size()) return kRates[header.rate_code];
  // Any other rate: the device plays at what the timer gives, 65536 - clock / (4 R). With the
  // four-reload clock the first of the four reloads is that value.
  const std::vector<std::uint8_t>& t = header.timer_bytes;
  const std::size_t n = t.size();
  if (n < 2) return kFallbackRate;
  const bool four_reloads = n == 8;
  const std::uint32_t timer = bytes::LoadU16(t, four_reloads ? 0 : n - 2);
  const std::uint32_t ticks = 65536u - timer;
  if (ticks == 0 || clock == 0) return kFallbackRate;
  const double c = four_reloads ? kFourReloadClock : clock;
  return static_cast<std::uint32_t>(std::lround(c / (4.0 * ticks)));
}

std::optional<ClockRange> ClockRangeOf(std::span<const std::uint8_t> timer_bytes, std::uint32_t rate) {
  if (rate == 0) return std::nullopt;
  const std::uint64_t r = rate;
  if (timer_bytes.size() == 8) return ClockRange{kFourReloadClock, kFourReloadClock + 1};
  if (timer_bytes.size() != 4 && timer_bytes.size() != 2) return std::nullopt;
  const std::uint64_t reload_ticks = (65536u - bytes::LoadU16(timer_bytes, timer_bytes.size() - 2)) & 0xFFFFu;
  if (timer_bytes.size() == 2) {
    // No prescaler index up to 7 fitted: the clock is at least 256 * (8 << 7) * rate, and the
    // reload, clock / (4 rate), has passed 65536 and kept only its low 16 bits.
    return ClockRange{std::uint64_t{256} * (std::uint64_t{8} << 7) * r, 0};
  }
  // The header holds 256 - q and i, where q = clock / ((8 << i) rate) is below 256 for the
  // smallest such i, and the reload 65536 - clock / (4 rate). Each quotient bounds the clock.
  const std::uint64_t index = timer_bytes[1];
  if (index > 7) return std::nullopt;
  const std::uint64_t q = (256u - timer_bytes[0]) & 0xFFu;
  const std::uint64_t step = (std::uint64_t{8} << index) * r;
  std::uint64_t low = std::max(q * step, reload_ticks * 4 * r);
  std::uint64_t high = std::min((q + 1) * step, (reload_ticks + 1) * 4 * r);
  // A smaller index did not fit: clock / ((8 << (i - 1)) rate) reached 256.
  if (index > 0) low = std::max(low, 256 * (step / 2));
  if (low >= high) return std::nullopt;
  return ClockRange{low, high};
}

EscapeRecord ReadEscapeRecord(std::span<const std::uint8_t> stream, std::size_t at, bool zero_ends_stream) {
  EscapeRecord r;
  if (stream.size() - at < 3) {
    r.kind = EscapeRecord::Kind::kTruncated;
    return r;
  }
  const std::uint8_t b1 = stream[at + 1];
  const std::uint8_t b2 = stream[at + 2];
  // A region marker's second byte is 0x20..0x3F; a silence record's high byte is 0x40 or more.
  if ((b1 == kRegionStart || b1 == kRegionEnd) && (b2 & ~kMarkerCueMask) == kMarkerCueBase) {
    if (stream.size() - at < kMarkerBytes) {
      r.kind = EscapeRecord::Kind::kTruncated;
      return r;
    }
    r.kind = EscapeRecord::Kind::kMarker;
    r.size = kMarkerBytes;
    r.type = b1;
    r.cue = static_cast<std::uint8_t>(b2 & kMarkerCueMask);
    r.label = stream[at + 3];
    return r;
  }
  const std::uint32_t value = bytes::LoadU16(stream, at + 1);
  if (value == 0 && zero_ends_stream) {
    r.kind = EscapeRecord::Kind::kEnd;
    r.size = kEscapeEndBytes;
    return r;
  }
  if (value <= kSilenceBase) return r;
  r.kind = EscapeRecord::Kind::kSilence;
  r.size = kSilenceBytes;
  r.run = value - kSilenceBase;
  return r;
}

}  // namespace velkin::codefile
