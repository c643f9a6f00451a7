#include "code_framing.h"

#include <array>
#include <utility>

#include "le_bytes.h"

namespace velkin::encoder {
namespace {
constexpr std::uint32_t kSpecialClock = 3580000;
constexpr std::uint8_t kHeaderEnd = 0x07;
}  // namespace

std::vector<RegionEvent> SortedRegionEvents(const std::vector<std::uint32_t>& cue_positions,
                                            const std::vector<std::uint32_t>& region_lengths) {
  std::vector<RegionEvent> events;
  events.reserve(cue_positions.size() * 2);
  for (std::size_t i = 0; i < cue_positions.size(); ++i) {
    const std::uint32_t length = i < region_lengths.size() ? region_lengths[i] : 0;
    const auto index = static_cast<std::uint32_t>(i);
    events.push_back({index, kRegionStart, cue_positions[i]});
    events.push_back({index, kRegionEnd, cue_positions[i] + length});
  }
  // Not a stable sort: the order of equal positions is part of the file format.
  for (std::size_t i = 0; i < events.size(); ++i) {
    for (std::size_t j = i; j < events.size(); ++j) {
      if (events[i].position > events[j].position) std::swap(events[i], events[j]);
    }
  }
  return events;
}

std::uint8_t RateCode(std::uint32_t sample_rate) {
  static constexpr std::array<std::uint32_t, 10> kRates = {6000,  8000,  11025, 16000, 22050,
                                                           32000, 44100, 48000, 96000, 192000};
  for (std::size_t code = 0; code < kRates.size(); ++code) {
    if (kRates[code] == sample_rate) return static_cast<std::uint8_t>(code);
  }
  return 15;
}

std::optional<std::vector<std::uint8_t>> CodeFileHeader(std::uint32_t sample_count, std::uint32_t sample_rate,
                                                        std::uint32_t clock, std::uint8_t format_byte) {
  if (sample_rate == 0) return std::nullopt;
  std::vector<std::uint8_t> h;
  AppendU8(h, sample_count);
  AppendU8(h, sample_count >> 8);
  AppendU8(h, sample_count >> 16);
  AppendU8(h, RateCode(sample_rate) * 16u + 0x0Bu);
  AppendU8(h, format_byte);
  // The divisors are formed in 64 bits: in 32 bits a huge rate from a hostile file could wrap them to 0.
  const std::uint64_t rate = sample_rate;
  if (clock == kSpecialClock) {
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

std::vector<std::uint8_t> RegionMarker(std::uint8_t escape_byte, const RegionEvent& event, std::int32_t label) {
  return {escape_byte, static_cast<std::uint8_t>(event.type),
          static_cast<std::uint8_t>(0x20u | (event.cue_index & 0x1Fu)),
          static_cast<std::uint8_t>(static_cast<std::uint32_t>(label) & 0xFFu)};
}

std::vector<std::uint8_t> SilenceRecord(std::uint8_t escape_byte, std::uint32_t run) {
  std::vector<std::uint8_t> r{escape_byte};
  AppendU16(r, 0x4000u + run);
  return r;
}

}  // namespace velkin::encoder
