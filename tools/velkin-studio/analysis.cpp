#include "analysis.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>

#include <kissfft.hh>

namespace velkin::studio {
double SegmentalSnr(std::span<const std::int16_t> source, std::span<const std::int16_t> decoded) {
  constexpr std::size_t kSegment = 256;
  constexpr double kQuiet = 1e-2;  // mean square below this: a silent segment, left out
  const std::size_t n = std::min(source.size(), decoded.size());
  double sum = 0;
  std::size_t segments = 0;
  for (std::size_t from = 0; from + kSegment <= n; from += kSegment) {
    double signal = 0;
    double noise = 0;
    for (std::size_t i = from; i < from + kSegment; ++i) {
      const double s = source[i];
      const double d = s - decoded[i];
      signal += s * s;
      noise += d * d;
    }
    if (signal / kSegment < kQuiet) continue;
    const double db = noise == 0 ? 35.0 : 10.0 * std::log10(signal / noise);
    sum += std::clamp(db, -10.0, 35.0);
    ++segments;
  }
  return segments == 0 ? std::numeric_limits<double>::quiet_NaN() : sum / static_cast<double>(segments);
}

Spectrogram MakeSpectrogram(std::span<const std::int16_t> samples, const std::function<void(double)>& progress) {
  constexpr std::size_t kSize = 256;
  Spectrogram out;
  out.rows = kSize / 2;
  out.hop = kSize / 2;
  if (samples.size() < kSize) return out;
  out.columns = static_cast<std::uint32_t>((samples.size() - kSize) / out.hop + 1);
  out.cells.resize(static_cast<std::size_t>(out.columns) * out.rows);

  const kissfft<float> fft(kSize, false);
  std::vector<float> window(kSize);
  float window_sum = 0;
  for (std::size_t i = 0; i < kSize; ++i) {
    window[i] = 0.5f - 0.5f * std::cos(2.0f * static_cast<float>(std::numbers::pi) * static_cast<float>(i) / kSize);
    window_sum += window[i];
  }
  // Full scale: a sine of amplitude 32768 gives a bin of 32768 * sum(window) / 2.
  const float full_scale = 32768.0f * window_sum / 2.0f;
  const float inverse_full_scale_squared = 1.0f / (full_scale * full_scale);
  std::vector<std::complex<float>> in(kSize);
  std::vector<std::complex<float>> bins(kSize);
  // About a hundred reports over the whole picture.
  const std::uint32_t report_every = std::max<std::uint32_t>(1, out.columns / 100);
  for (std::uint32_t c = 0; c < out.columns; ++c) {
    if (progress && c % report_every == 0) progress(static_cast<double>(c) / out.columns);
    const std::size_t from = static_cast<std::size_t>(c) * out.hop;
    for (std::size_t i = 0; i < kSize; ++i) in[i] = {static_cast<float>(samples[from + i]) * window[i], 0.0f};
    fft.transform(in.data(), bins.data());
    std::uint8_t* column = out.cells.data() + static_cast<std::size_t>(c) * out.rows;
    for (std::uint32_t r = 0; r < out.rows; ++r) {
      // From the squared magnitude: one logarithm and no square root per cell.
      const float power = std::norm(bins[r]) * inverse_full_scale_squared;
      const float db = 10.0f * std::log10(std::max(power, 1e-12f));
      column[r] = static_cast<std::uint8_t>(std::clamp((db + 100.0f) * 2.55f, 0.0f, 255.0f));
    }
  }
  return out;
}

}  // namespace velkin::studio
