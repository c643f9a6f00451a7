// One step of the search's trial coder, with the per-index constants laid out for speed.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "adpcm_codec.h"

namespace velkin::adpcm4 {

// Everything one trial step needs about a step index, in one place.
struct StepRow {
  std::uint64_t reciprocal;           // ceil(2^40 / step): 4 * diff / step without a division
  std::array<std::int32_t, 8> delta;  // predictor move by magnitude
  std::array<std::uint16_t, 8> next;  // next trial index by magnitude
};

inline constexpr unsigned kReciprocalShift = 40;

// Rows for the 121 indexes, built once from the step table.
const std::array<StepRow, kStepCount>& StepRows();

// Code magnitude of a difference: (4 * |diff|) / step, limited to 7. The product with the
// rounded-up reciprocal gives the exact quotient for every difference up to 65535 and every
// step of the table (checked exhaustively by the tests).
inline std::uint32_t TrialMagnitude(std::int32_t diff, const StepRow& row) {
  const auto scaled = static_cast<std::uint64_t>(4 * (diff < 0 ? -diff : diff));
  const std::uint64_t m = (scaled * row.reciprocal) >> kReciprocalShift;
  return m > 7 ? 7 : static_cast<std::uint32_t>(m);
}

// Codes sample z against predictor v, moving v and the trial index x.
inline void TrialStep(std::int32_t z, std::int32_t& v, std::uint16_t& x, const std::array<StepRow, kStepCount>& rows) {
  const StepRow& row = rows[x];
  const std::int32_t diff = z - v;
  const std::uint32_t m = TrialMagnitude(diff, row);
  const std::int32_t d = row.delta[m];
  v = std::clamp(diff < 0 ? v - d : v + d, 0, 65535);
  x = row.next[m];
}

}  // namespace velkin::adpcm4
