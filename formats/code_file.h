// Reading the device's code files back into samples: the shared header and escape records here, the
// sample blocks of each format in a decoder looked up by the header's format byte. Used by
// velkin-decode, the studio and everything else that has to hear or check what a unit will play.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velkin::decode {

enum class RecordKind { kBlock, kEndOfStream, kInvalid };

struct RecordResult {
  RecordKind kind;
  std::size_t size;  // bytes the record takes, its first byte included
};

// One code format's records other than the escape records.
struct BlockDecoder {
  std::uint8_t format_byte;
  std::uint8_t escape_byte;
  const char* name;
  // Decodes the record at `at` (its first byte is not the escape byte): a sample block, whose samples are
  // appended to `out`, or the format's own end of stream.
  RecordResult (*decode_record)(std::span<const std::uint8_t> stream, std::size_t at, std::vector<std::int16_t>& out);
  // True when the escape byte followed by a 16-bit 0 ends the stream (the ADPCM form).
  bool escape_zero_ends_stream;
};

// The decoders of every known format (code_decoders.cpp); to add a format, add its line there.
std::span<const BlockDecoder> KnownDecoders();
const BlockDecoder* FindDecoder(std::uint8_t format_byte);

// The 12-bit PCM records (format byte 0x5A).
RecordResult DecodePcm12Record(std::span<const std::uint8_t> stream, std::size_t at, std::vector<std::int16_t>& out);
// The 4-bit ADPCM records (format byte 0x54).
RecordResult DecodeAdpcm4Record(std::span<const std::uint8_t> stream, std::size_t at, std::vector<std::int16_t>& out);

struct RegionMark {
  std::uint8_t type;        // 1 start, 2 end
  std::uint8_t cue;         // the cue index's low five bits
  std::uint8_t label;       // the label value's low eight bits
  std::uint64_t at_sample;  // decoded samples before the marker
  std::size_t at_byte;      // offset of the marker's escape byte in the file
};

// A stretch of silence written as one silence record.
struct SilenceSpan {
  std::uint64_t at_sample;  // decoded samples before it
  std::uint32_t length;     // samples it stands for
};

struct DecodedFile {
  const BlockDecoder* decoder = nullptr;
  std::uint32_t declared_samples = 0;  // the header's 24-bit sample count
  std::size_t stream_start = 0;        // bytes of the header: where the stream begins
  std::uint8_t rate_code = 0;
  std::uint32_t sample_rate = 0;  // from the rate code, or estimated from the timer for code 15
  std::vector<std::uint8_t> timer_bytes;
  std::vector<std::int16_t> samples;
  std::vector<RegionMark> marks;
  std::uint64_t silence_records = 0;
  std::vector<SilenceSpan> silences;
  std::uint64_t blocks = 0;
};

// Decodes a whole code file. `clock` is the device clock the file was made for (used only to estimate
// the rate of a file with rate code 15). On failure returns nothing and says why in `error`.
std::optional<DecodedFile> DecodeCodeFile(std::span<const std::uint8_t> file, std::uint32_t clock, std::string& error);

}  // namespace velkin::decode
