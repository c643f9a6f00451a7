#include "riff/wave_format.h"

#include <algorithm>

namespace velkin::riff {

namespace {

std::uint16_t U16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t U32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(U16(p)) | (static_cast<std::uint32_t>(U16(p + 2)) << 16);
}
void Put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
  Put16(p, static_cast<std::uint16_t>(v));
  Put16(p + 2, static_cast<std::uint16_t>(v >> 16));
}

}  // namespace

WaveFormat DecodeWaveFormat(std::span<const std::uint8_t> bytes) {
  std::array<std::uint8_t, kWaveFormatSize> record{};
  std::copy_n(bytes.begin(), std::min(bytes.size(), record.size()), record.begin());
  WaveFormat f;
  f.wFormatTag = U16(&record[0]);
  f.nChannels = U16(&record[2]);
  f.nSamplesPerSec = U32(&record[4]);
  f.nAvgBytesPerSec = U32(&record[8]);
  f.nBlockAlign = U16(&record[12]);
  f.wBitsPerSample = U16(&record[14]);
  f.cbSize = U16(&record[16]);
  return f;
}

std::array<std::uint8_t, kWaveFormatSize> EncodeWaveFormat(const WaveFormat& f) {
  std::array<std::uint8_t, kWaveFormatSize> record{};
  Put16(&record[0], f.wFormatTag);
  Put16(&record[2], f.nChannels);
  Put32(&record[4], f.nSamplesPerSec);
  Put32(&record[8], f.nAvgBytesPerSec);
  Put16(&record[12], f.nBlockAlign);
  Put16(&record[14], f.wBitsPerSample);
  Put16(&record[16], f.cbSize);
  return record;
}

std::size_t ReadFormatChunk(Reader& reader, const ChunkInfo& chunk, FormatChunk& out) {
  std::array<std::uint8_t, kWaveFormatSize> record{};
  const std::size_t wanted = std::min<std::size_t>(chunk.size, record.size());
  const std::size_t got = reader.Read(record.data(), wanted);
  out.format = DecodeWaveFormat(std::span<const std::uint8_t>(record.data(), got));
  out.extension.clear();
  if (chunk.size > kWaveFormatSize && got == kWaveFormatSize) {
    const std::size_t held = std::min<std::size_t>(out.format.cbSize, chunk.size - kWaveFormatSize);
    out.extension.resize(held);
    out.extension.resize(reader.Read(out.extension.data(), held));
  }
  return got;
}

std::uint32_t WriteFormatChunk(Writer& writer, const FormatChunk& chunk) {
  ChunkInfo info;
  const auto announced = static_cast<std::uint32_t>(kWaveFormatSize + chunk.format.cbSize);
  if (const auto rc = writer.CreateChunk(info, kFmt, announced); rc != kNoError) return rc;
  WaveFormat record = chunk.format;
  record.cbSize = static_cast<std::uint16_t>(chunk.extension.size());
  const auto bytes = EncodeWaveFormat(record);
  const std::size_t recordBytes = chunk.extension.empty() ? kPcmFormatSize : kWaveFormatSize;
  if (writer.Write(bytes.data(), recordBytes) != recordBytes) return kCannotWrite;
  if (!chunk.extension.empty() &&
      writer.Write(chunk.extension.data(), chunk.extension.size()) != chunk.extension.size()) {
    return kCannotWrite;
  }
  return writer.Ascend(info);
}

}  // namespace velkin::riff
