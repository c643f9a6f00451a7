// Figures and pictures of a sound: reading 16-bit PCM WAV samples, signal-to-noise ratios of a
// decoded encoding against its source, and spectrograms.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velkin::studio {

// What a WAV file's format chunk says.
struct WavInfo {
  std::uint16_t format_tag = 0;
  std::uint16_t channels = 0;
  std::uint32_t rate = 0;
  std::uint16_t bits = 0;
  std::uint64_t frames = 0;
};

// The format of a WAV file, or nothing with the reason in `error`.
std::optional<WavInfo> InspectWav(const std::filesystem::path& path, std::string& error);

// The first channel of a 16-bit PCM WAV file.
std::optional<std::vector<std::int16_t>> ReadPcm16(const std::filesystem::path& path, std::string& error);

// Signal-to-noise ratio in dB over the common length; +inf (reported as null) when they are equal.
double Snr(std::span<const std::int16_t> source, std::span<const std::int16_t> decoded);
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

Spectrogram MakeSpectrogram(std::span<const std::int16_t> samples);

}  // namespace velkin::studio
