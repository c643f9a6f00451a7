// The layout every code file shares, whatever its block coding: the header (sample count, rate code,
// format byte, timer values, end mark), the escape records (region marker, silence record, and the
// escape form of the end of stream) and the 12-bit form of the end of stream. The encoders write code
// files with it and the decoder and the studio read them with it, so the two sides cannot drift apart.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace velkin::codefile {

// The rates the player knows, indexed by their rate code; any other rate has kOtherRateCode.
inline constexpr std::array<std::uint32_t, 10> kRates = {6000,  8000,  11025, 16000, 22050,
                                                         32000, 44100, 48000, 96000, 192000};
inline constexpr std::uint8_t kOtherRateCode = 15;

// Header: 24-bit sample count, rate byte (rate code << 4 | kRateNibble), format byte, timer values,
// kHeaderEnd.
inline constexpr std::size_t kHeaderFixedBytes = 5;
inline constexpr std::uint8_t kRateNibble = 0x0B;
inline constexpr std::uint8_t kHeaderEnd = 0x07;
// The device clock whose timer values are four 16-bit reloads rather than prescaler and reload.
inline constexpr std::uint32_t kFourReloadClock = 3580000;
// The timer values take 4 bytes (prescaler, its index, 16-bit reload), 2 (no prescaler fits) or 8
// (kFourReloadClock).
inline constexpr std::array<std::size_t, 3> kTimerLengths = {4, 2, 8};

// Escape records: the format's escape byte, then either a region marker (type, 0x20 | cue index, label
// value) or a 16-bit little-endian value: kSilenceBase + run for a silence record, 0 for the end of
// stream of the formats whose stream ends that way.
inline constexpr std::uint8_t kRegionStart = 1;
inline constexpr std::uint8_t kRegionEnd = 2;
inline constexpr std::uint8_t kMarkerCueBase = 0x20;
inline constexpr std::uint8_t kMarkerCueMask = 0x1F;
inline constexpr std::size_t kMarkerBytes = 4;
inline constexpr std::uint32_t kSilenceBase = 0x4000;
inline constexpr std::size_t kSilenceBytes = 3;
inline constexpr std::size_t kEscapeEndBytes = 3;
// The end of stream of the formats that have no escape form of it: four 0xFF bytes.
inline constexpr std::array<std::uint8_t, 4> kAllOnesEnd = {0xFF, 0xFF, 0xFF, 0xFF};

// Rate code of a sample rate: its index in kRates, kOtherRateCode for any other.
std::uint8_t RateCode(std::uint32_t sample_rate);

// The header for `sample_count` samples at `sample_rate` with device clock `clock`. Empty when the
// rate is 0: the timer values divide by it.
std::optional<std::vector<std::uint8_t>> Header(std::uint32_t sample_count, std::uint32_t sample_rate,
                                                std::uint32_t clock, std::uint8_t format_byte);

std::vector<std::uint8_t> RegionMarker(std::uint8_t escape_byte, std::uint8_t type, std::uint32_t cue_index,
                                       std::uint8_t label);
std::vector<std::uint8_t> SilenceRecord(std::uint8_t escape_byte, std::uint32_t run);
constexpr std::array<std::uint8_t, kEscapeEndBytes> EscapeEnd(std::uint8_t escape_byte) {
  return {escape_byte, 0x00, 0x00};
}

// A header as read: the fields, and the offset of the first stream byte.
struct HeaderFields {
  std::uint32_t declared_samples = 0;
  std::uint8_t rate_code = 0;
  std::uint8_t format_byte = 0;
  std::vector<std::uint8_t> timer_bytes;
  std::size_t stream_start = 0;
};

// False when the first bytes cannot begin a code file (too short, or no rate nibble).
bool LooksLikeHeader(std::span<const std::uint8_t> file);

// The header read with a timer of `timer_length` bytes, when the end mark sits where that layout puts
// it. A file may fit more than one layout; only its stream tells.
std::optional<HeaderFields> ReadHeader(std::span<const std::uint8_t> file, std::size_t timer_length);

// The sample rate a header stands for: from the rate code, or for kOtherRateCode the rate the device's
// timer gives with `clock` (kFallbackRate when nothing can be estimated).
inline constexpr std::uint32_t kFallbackRate = 16000;
std::uint32_t RateOf(const HeaderFields& header, std::uint32_t clock);

// The device clocks a header's timer values can stand for, at the header's `rate` (a known rate,
// from its rate code): [low, high). The timer keeps only quotients of the clock, so a file tells
// its clock as a range, not a number: the console's 12000000 Hz at 16000 Hz reads as 11968000 to
// 12031999. The four-reload layout is written for kFourReloadClock alone, so it tells that clock
// exactly. `high` is 0 when the clock has no upper bound the timer can tell: no prescaler fitted,
// and the 16-bit reload has wrapped. Nothing for timer values no clock gives at this rate.
struct ClockRange {
  std::uint64_t low = 0;
  std::uint64_t high = 0;
};
std::optional<ClockRange> ClockRangeOf(std::span<const std::uint8_t> timer_bytes, std::uint32_t rate);

// One escape record as read.
struct EscapeRecord {
  enum class Kind { kMarker, kSilence, kEnd, kInvalid, kTruncated };
  Kind kind = Kind::kInvalid;
  std::size_t size = 0;   // bytes it takes, the escape byte included
  std::uint8_t type = 0;  // marker: kRegionStart or kRegionEnd
  std::uint8_t cue = 0;   // marker: the cue index's low five bits
  std::uint8_t label = 0;
  std::uint32_t run = 0;  // silence: the samples it stands for
};

// Reads the escape record at `at` (stream[at] is the escape byte). `zero_ends_stream`: the format ends
// its stream with the escape byte and a 16-bit 0.
EscapeRecord ReadEscapeRecord(std::span<const std::uint8_t> stream, std::size_t at, bool zero_ends_stream);

}  // namespace velkin::codefile
