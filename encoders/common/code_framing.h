// The parts of a code file that both formats share: regions and their events, the header, and the
// escape records (region marker, silence record).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace velkin::encoder {

inline constexpr std::uint32_t kRegionStart = 1;
inline constexpr std::uint32_t kRegionEnd = 2;

struct RegionEvent {
  std::uint32_t cue_index;
  std::uint32_t type;      // kRegionStart or kRegionEnd
  std::uint32_t position;  // sample position
};

// Two events per cue point (its start at P(i), its end at P(i) + length(i), wrapping like the unsigned
// 32-bit sum it is), sorted by position with the exchange sort the player's tools have always used, so
// that events at equal positions keep the order that sort gives them. A cue point without a length
// record has length 0.
std::vector<RegionEvent> SortedRegionEvents(const std::vector<std::uint32_t>& cue_positions,
                                            const std::vector<std::uint32_t>& region_lengths);

// Rate code of a sample rate: 0..9 for the ten rates the player knows, 15 for any other.
std::uint8_t RateCode(std::uint32_t sample_rate);

// The code-file header for `sample_count` samples at `sample_rate` with device clock `clock`. Empty when
// the rate is 0: the timer values divide by it.
std::optional<std::vector<std::uint8_t>> CodeFileHeader(std::uint32_t sample_count, std::uint32_t sample_rate,
                                                        std::uint32_t clock, std::uint8_t format_byte);

// Escape byte, event type, 0x20 | (cue index & 0x1F), low 8 bits of the label value.
std::vector<std::uint8_t> RegionMarker(std::uint8_t escape_byte, const RegionEvent& event, std::int32_t label);

// Escape byte, then 0x4000 + run as a 16-bit little-endian value.
std::vector<std::uint8_t> SilenceRecord(std::uint8_t escape_byte, std::uint32_t run);

}  // namespace velkin::encoder
