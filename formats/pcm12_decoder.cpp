// 12-bit PCM records: 0x06, a length word ((L - 1), bit 15 set for a normal block), the 12-bit values packed
// three bytes to two values (a lone last value in two bytes); 0xFF 0xFF 0xFF 0xFF ends the stream.
#include <algorithm>

#include "formats/code_file.h"
#include "formats/code_file_layout.h"
#include "formats/le_bytes.h"

namespace velkin::decode {
namespace {

constexpr std::uint8_t kBlockTag = 0x06;

std::int16_t Sample(std::uint32_t value12, bool normal) {
  const std::int32_t word = static_cast<std::int32_t>(value12 << 4) - 32768;
  // A low-level block holds eight times the resolution: its words are 32768 + 8 s.
  return static_cast<std::int16_t>(normal ? word : (word >= 0 ? word / 8 : -((-word + 7) / 8)));
}

}  // namespace

RecordResult DecodePcm12Record(std::span<const std::uint8_t> stream, std::size_t at, std::vector<std::int16_t>& out) {
  const std::size_t left = stream.size() - at;
  constexpr auto& kEnd = codefile::kAllOnesEnd;
  if (stream[at] == kEnd[0]) {
    if (left >= kEnd.size() && std::equal(kEnd.begin(), kEnd.end(), stream.begin() + static_cast<std::ptrdiff_t>(at))) {
      return {RecordKind::kEndOfStream, kEnd.size()};
    }
    return {RecordKind::kInvalid, 0};
  }
  if (stream[at] != kBlockTag || left < 3) return {RecordKind::kInvalid, 0};
  const std::uint32_t word = bytes::LoadU16(stream, at + 1);
  const std::size_t length = (word & 0x7FFFu) + 1;
  const bool normal = (word & 0x8000u) != 0;
  const std::size_t bytes = 3 + length / 2 * 3 + (length % 2 ? 2 : 0);
  if (left < bytes) return {RecordKind::kInvalid, 0};
  std::size_t p = at + 3;
  for (std::size_t i = 0; i + 1 < length; i += 2, p += 3) {
    const std::uint32_t a = (static_cast<std::uint32_t>(stream[p]) << 4) | (stream[p + 1] >> 4);
    const std::uint32_t b = (static_cast<std::uint32_t>(stream[p + 2]) << 4) | (stream[p + 1] & 0x0Fu);
    out.push_back(Sample(a, normal));
    out.push_back(Sample(b, normal));
  }
  if (length % 2) out.push_back(Sample((static_cast<std::uint32_t>(stream[p]) << 4) | (stream[p + 1] >> 4), normal));
  return {RecordKind::kBlock, bytes};
}

}  // namespace velkin::decode
