#include "analysis.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <system_error>
#include <thread>

#include <kissfft.hh>

namespace velkin::studio {
namespace {

// log2 of a positive, finite float to about 1e-4: its exponent, and the mantissa's logarithm from
// a polynomial. A picture's shades need no more, and the exact logarithm of every cell of a long
// sound's three spectrograms took longer than its Fourier transforms.
float FastLog2(float x) {
  const auto bits = std::bit_cast<std::uint32_t>(x);
  const float exponent = static_cast<float>(static_cast<int>((bits >> 23) & 0xFF) - 127);
  const float m = std::bit_cast<float>((bits & 0x007FFFFFu) | 0x3F800000u);  // 1 <= m < 2
  // Minimax fit of log2(m) on [1, 2).
  const float t = m - 1.0f;
  const float poly =
      t * (1.4425449f + t * (-0.7181452f + t * (0.4575485f + t * (-0.2779042f + t * (0.1217970f - t * 0.0258411f)))));
  return exponent + poly;
}

}  // namespace

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

namespace {

constexpr std::size_t kSize = 256;

// The picture's fixed parts: the window, its scale, the transform.
struct Transform {
  Transform() : fft(kSize / 2, false), window(kSize) {
    float window_sum = 0;
    for (std::size_t i = 0; i < kSize; ++i) {
      window[i] = 0.5f - 0.5f * std::cos(2.0f * static_cast<float>(std::numbers::pi) * static_cast<float>(i) / kSize);
      window_sum += window[i];
    }
    // Full scale: a sine of amplitude 32768 gives a bin of 32768 * sum(window) / 2.
    const float full_scale = 32768.0f * window_sum / 2.0f;
    inverse_full_scale_squared = 1.0f / (full_scale * full_scale);
  }
  // A real input: half the transform's size, unpacked by transform_real.
  kissfft<float> fft;
  std::vector<float> window;
  float inverse_full_scale_squared = 0;
};

// Columns [first, last) of `out`.
void DrawColumns(const Transform& t, std::span<const std::int16_t> samples, Spectrogram& out, std::uint32_t first,
                 std::uint32_t last, const std::function<void(double)>& progress) {
  std::vector<float> in(kSize);
  std::vector<std::complex<float>> bins(kSize / 2);
  // A cell's byte, 2.55 per dB from -100 dB: 25.5 log10(power) + 255 = k log2(power) + 255.
  const float per_log2 = 25.5f * std::log10(2.0f);
  constexpr float kPowerFloor = 1e-12f;
  // About a hundred reports over the columns.
  const std::uint32_t report_every = std::max<std::uint32_t>(1, (last - first) / 100);
  for (std::uint32_t c = first; c < last; ++c) {
    if (progress && (c - first) % report_every == 0) progress(static_cast<double>(c - first) / (last - first));
    const std::size_t from = static_cast<std::size_t>(c) * out.hop;
    for (std::size_t i = 0; i < kSize; ++i) in[i] = static_cast<float>(samples[from + i]) * t.window[i];
    t.fft.transform_real(in.data(), bins.data());
    // Bin 0 carries the Nyquist bin in its imaginary part: 0 Hz is its real part alone.
    bins[0] = {bins[0].real(), 0.0f};
    std::uint8_t* column = out.cells.data() + static_cast<std::size_t>(c) * out.rows;
    for (std::uint32_t r = 0; r < out.rows; ++r) {
      // From the squared magnitude: no square root per cell.
      const float power = std::max(std::norm(bins[r]) * t.inverse_full_scale_squared, kPowerFloor);
      column[r] = static_cast<std::uint8_t>(std::clamp(per_log2 * FastLog2(power) + 255.0f, 0.0f, 255.0f));
    }
  }
}

}  // namespace

Spectrogram MakeSpectrogram(std::span<const std::int16_t> samples, const std::function<void(double)>& progress) {
  Spectrogram out;
  out.rows = kSize / 2;
  out.hop = kSize / 2;
  if (samples.size() < kSize) return out;
  out.columns = static_cast<std::uint32_t>((samples.size() - kSize) / out.hop + 1);
  out.cells.resize(static_cast<std::size_t>(out.columns) * out.rows);
  const Transform transform;
  // A long sound's picture is drawn in two halves at once (the transform is only read); the half
  // on this thread tells the progress. Without a second thread, in one go.
  constexpr std::uint32_t kSplitFrom = 8192;
  std::uint32_t half = out.columns;
  std::jthread other;  // joined however this thread leaves
  if (out.columns >= kSplitFrom) {
    half = out.columns / 2;
    try {
      other = std::jthread([&] { DrawColumns(transform, samples, out, half, out.columns, {}); });
    } catch (const std::system_error&) {
      half = out.columns;
    }
  }
  DrawColumns(transform, samples, out, 0, half, progress);
  if (other.joinable()) other.join();
  return out;
}

}  // namespace velkin::studio
