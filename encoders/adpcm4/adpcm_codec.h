// The encoding half of the 4-bit ADPCM codec: the quantiser, the index rule of the search's trial
// runs, and coding one block. The format itself (step table, reconstruction, index rule, block
// layout and decoding) is the code format's definition in formats/adpcm4_codec.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "formats/adpcm4_codec.h"

namespace velkin::adpcm4 {

// Code for sample z (offset binary) against predictor v with step y.
inline std::uint8_t Quantise(std::uint16_t z, std::uint16_t v, std::uint16_t y) {
  const std::uint32_t diff = z >= v ? z - v : v - z;
  std::uint32_t magnitude = (4 * diff) / y;
  if (magnitude > 7) magnitude = 7;
  return static_cast<std::uint8_t>(magnitude | (z < v ? kSignBit : 0));
}

// The block search's trial runs move the index like the player except that an index that
// reaches 0 stays there. Chosen lengths and indexes depend on this, so it must stay as it is.
inline std::uint16_t NextTrialIndex(std::uint16_t x, std::uint8_t magnitude) {
  auto next = static_cast<std::uint16_t>(x + kIndexAdjust[magnitude & 7]);
  if (next >= kTopIndex) next = kTopIndex;
  return next;
}

// One coded block: the record bytes (length byte, header word, code bytes) and its preview values.
struct EncodedBlock {
  std::vector<std::uint8_t> bytes;
  std::vector<std::int16_t> preview;
};

// Codes samples u[0] .. u[length - 1] (offset binary) from start_index. length is 1..255.
// The preview holds the header word (as the player's first value is derived from it), then the
// reconstructed value of every coded sample.
EncodedBlock EncodeBlock(std::span<const std::uint16_t> u, std::size_t length, std::uint16_t start_index);
// The same into `block`, reusing its storage.
void EncodeBlock(std::span<const std::uint16_t> u, std::size_t length, std::uint16_t start_index, EncodedBlock& block);

}  // namespace velkin::adpcm4
