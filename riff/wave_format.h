// The format record of a WAVE file ("fmt " chunk), and reading and writing that chunk the way the
// rate converter and the mono routine both need it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "riff/riff_file.h"

namespace velkin::riff {

// The 18-byte little-endian format record, fields in file order.
struct WaveFormat {
  std::uint16_t wFormatTag = 0;
  std::uint16_t nChannels = 0;
  std::uint32_t nSamplesPerSec = 0;
  std::uint32_t nAvgBytesPerSec = 0;
  std::uint16_t nBlockAlign = 0;
  std::uint16_t wBitsPerSample = 0;
  std::uint16_t cbSize = 0;
};

inline constexpr std::size_t kWaveFormatSize = 18;
// The record without cbSize: what a plain PCM "fmt " chunk holds.
inline constexpr std::size_t kPcmFormatSize = 16;

// Decodes up to 18 bytes; fields the bytes do not reach are zero (so a 16-byte chunk gives
// cbSize 0).
WaveFormat DecodeWaveFormat(std::span<const std::uint8_t> bytes);
std::array<std::uint8_t, kWaveFormatSize> EncodeWaveFormat(const WaveFormat& format);

// A "fmt " chunk as read: the record, and the extension bytes behind it (as many as cbSize
// announces and the chunk really holds). Bytes of the chunk beyond 18 + cbSize belong to neither.
struct FormatChunk {
  WaveFormat format;
  std::vector<std::uint8_t> extension;
};

// Reads the body of `chunk` (a "fmt " chunk just descended into) into `out`: never more than 18
// bytes into the record, however long the chunk is. Returns the number of record bytes read.
std::size_t ReadFormatChunk(Reader& reader, const ChunkInfo& chunk, FormatChunk& out);

// Writes a complete "fmt " chunk for `chunk`: the first 16 bytes of the record, and when there are
// extension bytes, cbSize (their count) and the bytes themselves. A record whose cbSize promises
// bytes that were never read is thus written as a plain 16-byte record, and the chunk always says
// exactly what follows; an extensible record keeps its extension.
std::uint32_t WriteFormatChunk(Writer& writer, const FormatChunk& chunk);

}  // namespace velkin::riff
