// How close a coded sound comes to the sound it was made from.
#pragma once

#include <cstdint>
#include <span>

namespace velkin::sound {

// Signal-to-noise ratio in dB of `decoded` against `reference`, over their common length: the
// reference's energy over the energy of the difference. +infinity when they are equal, -infinity
// when the reference is silence and they differ.
double SnrDb(std::span<const std::int16_t> reference, std::span<const std::int16_t> decoded);

}  // namespace velkin::sound
