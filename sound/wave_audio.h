// Reading every PCM WAV file a user is likely to have: 8-bit unsigned, 16, 24 and 32-bit integer,
// 32 and 64-bit float, any channel count, plain or WAVE_FORMAT_EXTENSIBLE (PCM or float sub-format),
// with its markers. What the console's converter takes (16-bit PCM only) is a small part of this.
//
// Nothing is trusted that the file does not back: sample counts come from the bytes the file really
// holds, never from a declared size alone, and a data chunk that ends early is read as far as it
// goes and reported. Safe to call from several threads at once (no shared state).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "riff/wave_file.h"

namespace velkin::sound {

// Sample rates a file may have; others are refused as damaged or absurd.
inline constexpr std::uint32_t kMinRate = 1000;
inline constexpr std::uint32_t kMaxRate = 384000;
// More channels than this is taken for a damaged header rather than a recording.
inline constexpr std::uint16_t kMaxChannels = 256;

enum class SampleType { kUnsigned8, kSigned16, kSigned24, kSigned32, kFloat32, kFloat64 };

struct SourceFormat {
  SampleType type = SampleType::kSigned16;
  std::uint16_t formatTag = 0;  // as in the file: 1 PCM, 3 float, 0xFFFE extensible
  bool extensible = false;
  std::uint16_t channels = 0;
  std::uint32_t rate = 0;
  std::uint16_t bitsPerSample = 0;  // the container's bits
  std::uint16_t validBits = 0;      // the extensible record's valid bits; otherwise bitsPerSample
  std::uint16_t blockAlign = 0;     // bytes per frame
};

// A WAV file read into memory.
struct WaveAudio {
  SourceFormat format;
  // Interleaved frames as floats, full scale at 1.0: an integer sample is divided by 2^(bits-1)
  // (an 8-bit one is (u - 128) / 128), so 8, 16 and 24-bit samples are held exactly and a 16-bit
  // sample times 32768 is the sample again; 32-bit integers keep their top 24 bits. Float samples
  // are as stored, and may lie beyond +-1.
  std::vector<float> samples;
  std::uint64_t frames = 0;           // frames read
  std::uint64_t declaredFrames = 0;   // frames the data chunk declares
  std::vector<riff::Marker> markers;  // cue points with their lengths and labels, positions in frames

  bool Truncated() const { return frames < declaredFrames; }
  double Seconds() const;
  double DeclaredSeconds() const;
};

// The format as a person reads it: "24-bit PCM", "32-bit float (extensible)", "32-bit PCM
// (extensible, 20 valid bits)".
std::string FormatText(const SourceFormat& format);

// For a truncated file: "the file ends after 0.15 s of its 1.26 s" (the durations read and
// declared, two decimals). Empty when the file is whole.
std::string TruncationNote(const WaveAudio& audio);

// Reads a WAV file. On failure returns nothing and names what is wrong in `error`, for example
// "not PCM or float audio (format tag 2)" or "the sample rate 500 Hz is outside 1000 to 384000 Hz".
std::optional<WaveAudio> ReadWaveAudio(const std::filesystem::path& path, std::string& error);
// The format, the lengths and the markers without the samples (`samples` stays empty), for
// telling what a file holds without reading it whole.
std::optional<WaveAudio> ReadWaveInfo(const std::filesystem::path& path, std::string& error);
// The same from the bytes of a file in memory (an upload, say).
std::optional<WaveAudio> ReadWaveAudio(std::span<const std::uint8_t> file, std::string& error);

}  // namespace velkin::sound
