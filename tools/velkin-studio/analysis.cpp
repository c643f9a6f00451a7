#include "analysis.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>

#include <kissfft.hh>

#include "formats/le_bytes.h"
#include "riff/riff_file.h"
#include "riff/wave_file.h"
#include "riff/wave_format.h"

namespace velkin::studio {
namespace {

struct OpenWav {
  std::unique_ptr<riff::Reader> reader;
  riff::ChunkInfo data;
  WavInfo info;
};

std::optional<OpenWav> Open(const std::filesystem::path& path, std::string& error) {
  std::uint32_t code = riff::kNoError;
  OpenWav out;
  out.reader = riff::Reader::Open(path.string(), code);
  if (!out.reader) {
    error = "cannot open the file";
    return std::nullopt;
  }
  riff::WaveChunks wave;
  const riff::WaveStep step = riff::FindWaveChunks(*out.reader, wave);
  if (step == riff::WaveStep::kNoWaveRiff) {
    error = "not a WAV file (no RIFF WAVE header)";
    return std::nullopt;
  }
  if (step == riff::WaveStep::kNoFormat) {
    error = "not a WAV file (no format chunk)";
    return std::nullopt;
  }
  if (wave.recordBytes < riff::kPcmFormatSize) {
    error = "the format chunk is too short";
    return std::nullopt;
  }
  const riff::WaveFormat& format = wave.record.format;
  out.info.format_tag = format.wFormatTag;
  out.info.channels = format.nChannels;
  out.info.rate = format.nSamplesPerSec;
  out.info.bits = format.wBitsPerSample;
  if (step != riff::WaveStep::kFound) {
    error = "no data chunk";
    return std::nullopt;
  }
  out.data = wave.data;
  if (out.info.channels == 0 || out.info.rate == 0) {
    error = "the format chunk gives no channels or no rate";
    return std::nullopt;
  }
  const std::uint64_t frame =
      static_cast<std::uint64_t>(out.info.channels) * std::max<std::uint16_t>(1, out.info.bits / 8);
  out.info.frames = wave.dataHeld / frame;
  return out;
}

}  // namespace

std::optional<WavInfo> InspectWav(const std::filesystem::path& path, std::string& error) {
  auto wav = Open(path, error);
  if (!wav) return std::nullopt;
  return wav->info;
}

std::optional<std::vector<std::int16_t>> ReadPcm16(const std::filesystem::path& path, std::string& error) {
  auto wav = Open(path, error);
  if (!wav) return std::nullopt;
  if (wav->info.format_tag != 1 || wav->info.bits != 16) {
    error = "not 16-bit PCM";
    return std::nullopt;
  }
  const std::size_t channels = wav->info.channels;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(wav->info.frames * channels * 2));
  bytes.resize(wav->reader->Read(bytes.data(), bytes.size()));
  std::vector<std::int16_t> samples(bytes.size() / (2 * channels));
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const std::size_t at = i * channels * 2;
    samples[i] = static_cast<std::int16_t>(velkin::bytes::LoadU16(bytes, at));
  }
  return samples;
}

double Snr(std::span<const std::int16_t> source, std::span<const std::int16_t> decoded) {
  const std::size_t n = std::min(source.size(), decoded.size());
  double signal = 0;
  double noise = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double s = source[i];
    const double d = s - decoded[i];
    signal += s * s;
    noise += d * d;
  }
  if (noise == 0) return std::numeric_limits<double>::infinity();
  if (signal == 0) return -std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(signal / noise);
}

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

Spectrogram MakeSpectrogram(std::span<const std::int16_t> samples) {
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
  std::vector<std::complex<float>> in(kSize);
  std::vector<std::complex<float>> bins(kSize);
  for (std::uint32_t c = 0; c < out.columns; ++c) {
    const std::size_t from = static_cast<std::size_t>(c) * out.hop;
    for (std::size_t i = 0; i < kSize; ++i) in[i] = {static_cast<float>(samples[from + i]) * window[i], 0.0f};
    fft.transform(in.data(), bins.data());
    std::uint8_t* column = out.cells.data() + static_cast<std::size_t>(c) * out.rows;
    for (std::uint32_t r = 0; r < out.rows; ++r) {
      const float magnitude = std::abs(bins[r]) / full_scale;
      const float db = 20.0f * std::log10(std::max(magnitude, 1e-6f));
      column[r] = static_cast<std::uint8_t>(std::clamp((db + 100.0f) * 2.55f, 0.0f, 255.0f));
    }
  }
  return out;
}

}  // namespace velkin::studio
