// One step of the search's trial coder, with the per-index constants laid out for speed.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "adpcm_codec.h"

namespace velkin::adpcm4 {

inline constexpr unsigned kReciprocalShift = 40;

struct TrialTables {
  // ceil(2^40 / step): gives 4 * diff / step without a division.
  std::array<std::uint64_t, kStepCount> reciprocal;
  // By index and magnitude: the predictor move in the low 16 bits, the next trial index above.
  std::array<std::array<std::uint32_t, 8>, kStepCount> move;
  // The same with the player's next index, for coding the chosen block.
  std::array<std::array<std::uint32_t, 8>, kStepCount> codec_move;
  // The step of every index, widened to 32 bits.
  std::array<std::uint32_t, kStepCount> step;
  // The same in 16 bits, padded to 128 entries, to be held in vector registers.
  alignas(64) std::array<std::uint16_t, 128> step16;
};

// Built once from the step table.
const TrialTables& Trial();

// Code magnitude of a difference: (4 * |diff|) / step, limited to 7. The product with the
// rounded-up reciprocal gives the exact quotient for every difference up to 65535 and every
// step of the table (checked exhaustively by the tests).
inline std::uint32_t TrialMagnitude(std::uint32_t magnitude_of_diff, std::uint64_t reciprocal) {
  const std::uint64_t m = (std::uint64_t{4} * magnitude_of_diff * reciprocal) >> kReciprocalShift;
  return m < 7 ? static_cast<std::uint32_t>(m) : 7;
}

// Codes sample z against predictor v, moving v and the index x by `moves` (TrialTables::move
// or codec_move); returns the code. Branch-free but for the clamp, which is rarely needed: the
// sign of the difference is a coin toss on real sound, and a branch on it would be mispredicted
// every other sample.
inline std::uint32_t CodeStep(std::int32_t z, std::int32_t& v, std::uint32_t& x, const TrialTables& t,
                              const std::array<std::array<std::uint32_t, 8>, kStepCount>& moves) {
  const std::int32_t diff = z - v;
  const std::int32_t below = diff >> 31;  // -1 when the sample lies below the predictor, else 0
  const auto magnitude = static_cast<std::uint32_t>((diff ^ below) - below);
  const std::uint32_t m = TrialMagnitude(magnitude, t.reciprocal[x]);
  const std::uint32_t move = moves[x][m];
  const auto d = static_cast<std::int32_t>(move & 0xFFFF);
  v += (d ^ below) - below;
  if (static_cast<std::uint32_t>(v) > 65535) v = v < 0 ? 0 : 65535;
  x = move >> 16;
  return m | (static_cast<std::uint32_t>(below) & kSignBit);
}

// One step of a trial run; returns the new v.
inline std::int32_t TrialStep(std::int32_t z, std::int32_t v, std::uint32_t& x, const TrialTables& t) {
  CodeStep(z, v, x, t, t.move);
  return v;
}

}  // namespace velkin::adpcm4
