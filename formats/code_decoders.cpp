#include <algorithm>
#include <array>

#include "formats/code_file.h"

namespace velkin::decode {
namespace {

// One line per code format, keyed by the header's format byte.
constexpr std::array<BlockDecoder, 2> kDecoders = {{
    {0x5A, 0x00, "TARPEL", &DecodePcm12Record, false},
    {0x54, 0x01, "VOSSIK", &DecodeAdpcm4Record, true},
}};

}  // namespace

std::span<const BlockDecoder> KnownDecoders() {
  return kDecoders;
}

const BlockDecoder* FindDecoder(std::uint8_t format_byte) {
  const auto it = std::find_if(kDecoders.begin(), kDecoders.end(),
                               [format_byte](const BlockDecoder& d) { return d.format_byte == format_byte; });
  return it == kDecoders.end() ? nullptr : &*it;
}

}  // namespace velkin::decode
