#include "sound_sets.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <filesystem>

namespace velkin::test {

std::string SetFolder::Bytes(const std::string& name, const ByteVector& bytes) {
  const std::string path = dir_.File(name);
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  WriteFileBytes(path, bytes);
  return path;
}

std::string SetFolder::Samples(const std::string& name, const std::vector<std::int16_t>& samples, std::uint32_t rate,
                               std::uint16_t channels) {
  return Bytes(name, SimpleWav(rate, samples, channels));
}

std::string SetFolder::Speech(const std::string& name, double seconds, std::uint32_t rate, std::uint32_t seed,
                              ClipFormat format) {
  const auto frames = static_cast<std::size_t>(seconds * rate);
  const std::vector<std::int16_t> voice = SpeechLike(frames, seed, rate);
  ByteVector data;
  ByteVector fmt;
  switch (format) {
    case ClipFormat::kPcm16:
      return Samples(name, voice, rate);
    case ClipFormat::kPcm24Stereo:
    case ClipFormat::kExtensible24: {
      const std::uint16_t channels = format == ClipFormat::kPcm24Stereo ? 2 : 1;
      // The voice on the left, a quieter other voice on the right: a mix differs from the first channel.
      const std::vector<std::int16_t> other = SpeechLike(frames, seed + 100, rate, 8000.0);
      for (std::size_t f = 0; f < frames; ++f) {
        for (std::uint16_t c = 0; c < channels; ++c) {
          const std::int32_t s = (c == 0 ? voice[f] : other[f]) * 256 + static_cast<std::int32_t>(f % 7);
          PutU8(data, static_cast<std::uint8_t>(s));
          PutU8(data, static_cast<std::uint8_t>(s >> 8));
          PutU8(data, static_cast<std::uint8_t>(s >> 16));
        }
      }
      fmt = format == ClipFormat::kPcm24Stereo ? FmtBody(1, channels, rate, 24)
                                               : ExtensibleFmtBody(1, channels, rate, 24, 24);
      break;
    }
    case ClipFormat::kFloat32:
      for (const std::int16_t s : voice) PutU32(data, std::bit_cast<std::uint32_t>(static_cast<float>(s) / 32768.0f));
      fmt = FmtBody(3, 1, rate, 32);
      break;
    case ClipFormat::kPcm8:
      for (const std::int16_t s : voice) PutU8(data, static_cast<std::uint8_t>((s >> 8) + 128));
      fmt = FmtBody(1, 1, rate, 8);
      break;
  }
  return Bytes(name, Riff({Chunk("fmt ", fmt), Chunk("data", data)}));
}

std::string SetFolder::Set(const std::string& name, const std::string& text) {
  const std::string path = dir_.File(name);
  WriteFileBytes(path, ByteVector(text.begin(), text.end()));
  return path;
}

std::string ClipTables(const std::vector<std::string>& files) {
  std::string text;
  for (const auto& f : files) text += "\n[[clip]]\nfile = \"" + f + "\"\n";
  return text;
}

int LineOf(const std::string& text, const std::string& needle) {
  int line = 1;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    if (text.compare(start, end - start, needle) == 0 ||
        text.substr(start, end - start).find(needle) != std::string::npos) {
      return line;
    }
    start = end + 1;
    ++line;
  }
  return 0;
}

}  // namespace velkin::test
