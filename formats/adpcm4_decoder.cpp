// 4-bit ADPCM records: an odd length byte L (3 or more), the 16-bit header word, (L - 1) / 2 bytes of
// codes; the stream ends with the escape byte and a 16-bit 0 (handled with the escape records).
#include "formats/adpcm4_codec.h"
#include "formats/code_file.h"

namespace velkin::decode {

RecordResult DecodeAdpcm4Record(std::span<const std::uint8_t> stream, std::size_t at, std::vector<std::int16_t>& out) {
  const std::uint8_t length = stream[at];
  if (length < 3 || length % 2 == 0) return {RecordKind::kInvalid, 0};
  std::vector<std::uint16_t> samples;
  const std::size_t size = adpcm4::DecodeBlock(stream.subspan(at), samples);
  if (size == 0) return {RecordKind::kInvalid, 0};
  for (std::uint16_t u : samples) out.push_back(adpcm4::ToSigned(u));
  return {RecordKind::kBlock, size};
}

}  // namespace velkin::decode
