// The 4-bit ADPCM block format the player decodes: the step table, the reconstruction of a sample
// from its code, how the step index moves, and the layout of one block. This is the code format's
// own definition, so the decoder reads with it and the VOSSIK encoder (which adds the quantiser and
// its search, encoders/adpcm4/) writes with it: the two cannot disagree about a step or a bit.
//
// Everything a coding loop calls per sample is inline here, so that the encoder's search loses
// nothing by having the definition in another library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velkin::adpcm4 {

inline constexpr std::size_t kStepCount = 121;
inline constexpr std::uint16_t kTopIndex = 120;
inline constexpr std::size_t kMaxBlockLength = 255;

using StepTable = std::array<std::uint16_t, kStepCount>;

// The 121 quantiser steps, generated once from their growth rule (ratio 1.075).
const StepTable& Steps();

// Builds the table from the rule; Steps() returns a copy made once.
StepTable BuildStepTable();

// Step-index change by code magnitude.
inline constexpr std::array<int, 8> kIndexAdjust = {-1, -1, -1, -1, 2, 4, 6, 8};

// A code nibble: bit 3 the sign (sample below the predictor), bits 2..0 the magnitude.
inline constexpr std::uint8_t kSignBit = 0x08;

// Size of the predictor move for a code magnitude with step y.
inline std::uint16_t StepDelta(std::uint8_t magnitude, std::uint16_t y) {
  std::uint32_t d = y >> 3;
  if (magnitude & 4) d += y;
  if (magnitude & 2) d += y >> 1;
  if (magnitude & 1) d += y >> 2;
  return static_cast<std::uint16_t>(d);
}

// New predictor after a code; the predictor stays within 0..65535.
inline std::uint16_t Reconstruct(std::uint16_t v, std::uint8_t code, std::uint16_t y) {
  const std::uint32_t d = StepDelta(code & 7, y);
  if (code & kSignBit) return v > d ? static_cast<std::uint16_t>(v - d) : 0;
  const std::uint32_t up = v + d;
  return up >= 65535 ? 65535 : static_cast<std::uint16_t>(up);
}

// Step index after a code, as the player moves it. The sum wraps in 16 bits, so one below
// index 0 is 65535 and lands on the top index; the player never reaches index 0 itself.
inline std::uint16_t NextIndex(std::uint16_t x, std::uint8_t magnitude) {
  auto next = static_cast<std::uint16_t>(x + kIndexAdjust[magnitude & 7]);
  if (next == 0) next = 1;
  if (next >= kTopIndex) next = kTopIndex;
  return next;
}

// Header word of a block: top nine bits of the first sample and the starting step index.
inline std::uint16_t HeaderWord(std::uint16_t first, std::uint16_t start_index) {
  return static_cast<std::uint16_t>((first & 0xFF80) | start_index);
}

// Predictor value the block starts from (middle of the first sample's 128-wide bucket).
inline std::uint16_t StartPredictor(std::uint16_t header_or_first) {
  return static_cast<std::uint16_t>((header_or_first & 0xFF80) | 0x40);
}

// Converts between a signed sample and its offset-binary form (bit 15 inverted).
inline std::uint16_t ToOffset(std::int16_t s) {
  return static_cast<std::uint16_t>(s) ^ 0x8000;
}
inline std::int16_t ToSigned(std::uint16_t u) {
  return static_cast<std::int16_t>(u ^ 0x8000);
}

// Appends the samples of one block record to out (offset binary). Returns the number of bytes
// the record occupies, or 0 when `record` is too short for the length its first byte gives or
// the header's step index is above the top index.
std::size_t DecodeBlock(std::span<const std::uint8_t> record, std::vector<std::uint16_t>& out);

}  // namespace velkin::adpcm4
