#include "riff/wave_format.h"

#include <algorithm>

#include "formats/le_bytes.h"

namespace velkin::riff {

using bytes::LoadU16;
using bytes::LoadU32;
using bytes::StoreU16;
using bytes::StoreU32;

WaveFormat DecodeWaveFormat(std::span<const std::uint8_t> bytes) {
  std::array<std::uint8_t, kWaveFormatSize> record{};
  std::copy_n(bytes.begin(), std::min(bytes.size(), record.size()), record.begin());
  WaveFormat f;
  f.wFormatTag = LoadU16(&record[0]);
  f.nChannels = LoadU16(&record[2]);
  f.nSamplesPerSec = LoadU32(&record[4]);
  f.nAvgBytesPerSec = LoadU32(&record[8]);
  f.nBlockAlign = LoadU16(&record[12]);
  f.wBitsPerSample = LoadU16(&record[14]);
  f.cbSize = LoadU16(&record[16]);
  return f;
}

std::array<std::uint8_t, kWaveFormatSize> EncodeWaveFormat(const WaveFormat& f) {
  std::array<std::uint8_t, kWaveFormatSize> record{};
  StoreU16(&record[0], f.wFormatTag);
  StoreU16(&record[2], f.nChannels);
  StoreU32(&record[4], f.nSamplesPerSec);
  StoreU32(&record[8], f.nAvgBytesPerSec);
  StoreU16(&record[12], f.nBlockAlign);
  StoreU16(&record[14], f.wBitsPerSample);
  StoreU16(&record[16], f.cbSize);
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
