// Figures and pictures of a sound that only the studio shows: the segmental signal-to-noise ratio of
// a decoded encoding against its source, and spectrograms. (The plain SNR is sound/'s.)
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace velkin::studio {

// Mean of the per-segment ratios (256 samples, each held to -10..35 dB), over segments that carry
// signal.
double SegmentalSnr(std::span<const std::int16_t> source, std::span<const std::int16_t> decoded);

// A magnitude spectrogram: `columns` frames of `rows` bins (0 Hz first), each byte 0..255 for
// -100..0 dB of full scale.
struct Spectrogram {
  std::uint32_t columns = 0;
  std::uint32_t rows = 0;
  std::uint32_t hop = 0;            // samples between frames
  std::vector<std::uint8_t> cells;  // column after column
};

// `progress`, when given, hears the share done (0..1) now and then: a long sound takes a while.
Spectrogram MakeSpectrogram(std::span<const std::int16_t> samples,
                            const std::function<void(double done)>& progress = {});

}  // namespace velkin::studio
