#include "sound/wave_audio.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <new>

#include "formats/le_bytes.h"
#include "riff/riff_file.h"
#include "riff/wave_format.h"

namespace velkin::sound {

namespace {

using bytes::LoadU16;
using bytes::LoadU32;

constexpr std::uint16_t kPcmTag = 1;
constexpr std::uint16_t kFloatTag = 3;
constexpr std::uint16_t kExtensibleTag = 0xFFFE;
// Valid bits (2), channel mask (4) and the sub-format GUID (16) after cbSize.
constexpr std::size_t kExtensibleBytes = 22;
// The GUID of a sub-format that stands for a plain format tag is that tag followed by these bytes
// (xxxx0000-0000-0010-8000-00AA00389B71, stored little-endian).
constexpr std::array<std::uint8_t, 14> kTagGuidTail = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                       0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

std::string Text(const char* format, double a, double b = 0) {
  char text[96];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

std::string GuidText(std::span<const std::uint8_t> g) {
  char text[40];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                static_cast<unsigned>(LoadU32(&g[0])), LoadU16(&g[4]), LoadU16(&g[6]), g[8], g[9], g[10], g[11], g[12],
                g[13], g[14], g[15]);
  return text;
}

// Checks the format record and says what kind of samples the data holds.
bool CheckFormat(const riff::WaveChunks& wave, SourceFormat& out, std::string& error) {
  if (wave.recordBytes < riff::kPcmFormatSize) {
    error = "the format chunk is too short";
    return false;
  }
  const riff::WaveFormat& f = wave.record.format;
  out.formatTag = f.wFormatTag;
  out.channels = f.nChannels;
  out.rate = f.nSamplesPerSec;
  out.bitsPerSample = f.wBitsPerSample;
  out.validBits = f.wBitsPerSample;
  out.blockAlign = f.nBlockAlign;
  std::uint16_t tag = f.wFormatTag;
  if (tag == kExtensibleTag) {
    out.extensible = true;
    const auto& ext = wave.record.extension;
    if (ext.size() < kExtensibleBytes) {
      error = "the extensible format record is too short (" + std::to_string(ext.size()) + " of " +
              std::to_string(kExtensibleBytes) + " bytes)";
      return false;
    }
    const std::span<const std::uint8_t> guid(ext.data() + 6, 16);
    if (!std::equal(kTagGuidTail.begin(), kTagGuidTail.end(), guid.begin() + 2)) {
      error = "not PCM or float audio (extensible sub-format " + GuidText(guid) + ")";
      return false;
    }
    out.validBits = LoadU16(ext.data());
    tag = LoadU16(guid.data());
    if (tag != kPcmTag && tag != kFloatTag) {
      error = "not PCM or float audio (extensible sub-format tag " + std::to_string(tag) + ")";
      return false;
    }
  } else if (tag != kPcmTag && tag != kFloatTag) {
    error = "not PCM or float audio (format tag " + std::to_string(tag) + ")";
    return false;
  }
  if (out.channels == 0) {
    error = "the format gives no channels";
    return false;
  }
  if (out.channels > kMaxChannels) {
    error = std::to_string(out.channels) + " channels is more than " + std::to_string(kMaxChannels) +
            ": the format record looks damaged";
    return false;
  }
  if (out.rate < kMinRate || out.rate > kMaxRate) {
    error = "the sample rate " + std::to_string(out.rate) + " Hz is outside " + std::to_string(kMinRate) + " to " +
            std::to_string(kMaxRate) + " Hz";
    return false;
  }
  const std::uint16_t bits = out.bitsPerSample;
  if (tag == kPcmTag) {
    if (bits != 8 && bits != 16 && bits != 24 && bits != 32) {
      error = std::to_string(bits) + "-bit PCM samples are not supported (8, 16, 24 or 32 bits are)";
      return false;
    }
    out.type = bits == 8    ? SampleType::kUnsigned8
               : bits == 16 ? SampleType::kSigned16
               : bits == 24 ? SampleType::kSigned24
                            : SampleType::kSigned32;
  } else {
    if (bits != 32 && bits != 64) {
      error = std::to_string(bits) + "-bit float samples are not supported (32 or 64 bits are)";
      return false;
    }
    out.type = bits == 32 ? SampleType::kFloat32 : SampleType::kFloat64;
  }
  if (out.validBits == 0 || out.validBits > bits) {
    error = "the valid bits " + std::to_string(out.validBits) + " do not fit " + std::to_string(bits) + "-bit samples";
    return false;
  }
  const std::uint32_t frame = static_cast<std::uint32_t>(out.channels) * (bits / 8);
  if (out.blockAlign != frame) {
    error = "the block alignment " + std::to_string(out.blockAlign) + " does not match " +
            std::to_string(out.channels) + " channels of " + std::to_string(bits) + " bits (" + std::to_string(frame) +
            " bytes per frame)";
    return false;
  }
  return true;
}

float SampleAt(const std::uint8_t* p, SampleType type) {
  switch (type) {
    case SampleType::kUnsigned8:
      return static_cast<float>(static_cast<int>(p[0]) - 128) / 128.0f;
    case SampleType::kSigned16:
      return static_cast<float>(static_cast<std::int16_t>(LoadU16(p))) / 32768.0f;
    case SampleType::kSigned24: {
      // The 24-bit value moved to the top of 32 bits and shifted back, which extends its sign.
      const auto v = static_cast<std::int32_t>(bytes::LoadU24(p) << 8) / 256;
      return static_cast<float>(v) / 8388608.0f;
    }
    case SampleType::kSigned32:
      return static_cast<float>(static_cast<std::int32_t>(LoadU32(p))) / 2147483648.0f;
    case SampleType::kFloat32: {
      const float v = std::bit_cast<float>(LoadU32(p));
      return std::isnan(v) ? 0.0f : v;
    }
    case SampleType::kFloat64: {
      const std::uint64_t bits = LoadU32(p) | (static_cast<std::uint64_t>(LoadU32(p + 4)) << 32);
      const double v = std::bit_cast<double>(bits);
      return std::isnan(v) ? 0.0f : static_cast<float>(v);
    }
  }
  return 0.0f;
}

// Reads `frames` frames from the reader's position into `out`, a piece at a time.
bool ReadFrames(riff::Reader& reader, const SourceFormat& format, std::uint64_t frames, std::vector<float>& out) {
  const std::size_t width = format.bitsPerSample / 8;
  const std::size_t frameBytes = format.blockAlign;
  const std::size_t piece = std::max<std::size_t>(1, 65536 / frameBytes);
  std::vector<std::uint8_t> bytes(piece * frameBytes);
  std::size_t at = 0;
  for (std::uint64_t done = 0; done < frames;) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(piece, frames - done));
    if (reader.Read(bytes.data(), n * frameBytes) != n * frameBytes) return false;
    const std::size_t values = n * format.channels;
    for (std::size_t i = 0; i < values; ++i) out[at++] = SampleAt(bytes.data() + i * width, format.type);
    done += n;
  }
  return true;
}

std::optional<WaveAudio> Read(riff::Reader& reader, bool withSamples, std::string& error) {
  riff::WaveChunks wave;
  const riff::WaveStep step = riff::FindWaveChunks(reader, wave);
  if (step == riff::WaveStep::kNoWaveRiff) {
    error = "not a WAV file (no RIFF WAVE header)";
    return std::nullopt;
  }
  if (step == riff::WaveStep::kNoFormat) {
    error = "not a WAV file (no format chunk)";
    return std::nullopt;
  }
  WaveAudio audio;
  if (!CheckFormat(wave, audio.format, error)) return std::nullopt;
  if (step != riff::WaveStep::kFound) {
    error = "no data chunk";
    return std::nullopt;
  }
  // Only what the file holds is allocated; the declared size is kept to report a short file.
  audio.frames = wave.dataHeld / audio.format.blockAlign;
  audio.declaredFrames = wave.data.size / audio.format.blockAlign;
  if (!withSamples) {
    audio.markers = riff::ReadWaveMarkers(reader, wave.riff);
    return audio;
  }
  const std::uint64_t values = audio.frames * audio.format.channels;
  try {
    if (values > audio.samples.max_size()) throw std::bad_alloc();
    audio.samples.resize(static_cast<std::size_t>(values));
  } catch (const std::bad_alloc&) {
    error = "not enough memory for " + std::to_string(audio.frames) + " frames";
    return std::nullopt;
  }
  if (!ReadFrames(reader, audio.format, audio.frames, audio.samples)) {
    error = "the file could not be read";
    return std::nullopt;
  }
  audio.markers = riff::ReadWaveMarkers(reader, wave.riff);
  return audio;
}

std::optional<WaveAudio> ReadFile(const std::filesystem::path& path, bool withSamples, std::string& error) {
  std::uint32_t code = riff::kNoError;
  auto reader = riff::Reader::Open(path.string(), code);
  if (!reader) {
    error = code == riff::kFileNotFound ? "the file does not exist" : "cannot open the file";
    return std::nullopt;
  }
  return Read(*reader, withSamples, error);
}

}  // namespace

double WaveAudio::Seconds() const {
  return format.rate == 0 ? 0.0 : static_cast<double>(frames) / format.rate;
}

double WaveAudio::DeclaredSeconds() const {
  return format.rate == 0 ? 0.0 : static_cast<double>(declaredFrames) / format.rate;
}

std::string FormatText(const SourceFormat& format) {
  const bool is_float = format.type == SampleType::kFloat32 || format.type == SampleType::kFloat64;
  std::string text = std::to_string(format.bitsPerSample) + "-bit " + (is_float ? "float" : "PCM");
  if (format.extensible) {
    text += " (extensible";
    if (format.validBits != format.bitsPerSample) text += ", " + std::to_string(format.validBits) + " valid bits";
    text += ")";
  }
  return text;
}

std::string TruncationNote(const WaveAudio& audio) {
  if (!audio.Truncated()) return {};
  return Text("the file ends after %.2f s of its %.2f s", audio.Seconds(), audio.DeclaredSeconds());
}

std::optional<WaveAudio> ReadWaveAudio(const std::filesystem::path& path, std::string& error) {
  return ReadFile(path, true, error);
}

std::optional<WaveAudio> ReadWaveInfo(const std::filesystem::path& path, std::string& error) {
  return ReadFile(path, false, error);
}

std::optional<WaveAudio> ReadWaveAudio(std::span<const std::uint8_t> file, std::string& error) {
  auto reader = riff::Reader::FromMemory(file);
  return Read(*reader, true, error);
}

}  // namespace velkin::sound
