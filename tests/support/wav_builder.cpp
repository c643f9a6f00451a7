#include "wav_builder.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "formats/le_bytes.h"

namespace velkin::test {

void PutU8(ByteVector& b, std::uint8_t v) {
  b.push_back(v);
}
// Byte by byte rather than through the shared appenders: inlined into the chunk builders, those make
// GCC 12 at -O3 report a false -Wstringop-overflow.
void PutU16(ByteVector& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void PutU32(ByteVector& b, std::uint32_t v) {
  PutU16(b, static_cast<std::uint16_t>(v));
  PutU16(b, static_cast<std::uint16_t>(v >> 16));
}
void PutTag(ByteVector& b, const char* four_cc) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(four_cc[i]));
}
void PutBytes(ByteVector& b, const ByteVector& more) {
  b.insert(b.end(), more.begin(), more.end());
}

// Bounds-checked (at() throws): a test reading past what a program wrote fails instead of reading garbage.
std::uint16_t GetU16(const ByteVector& b, std::size_t at) {
  static_cast<void>(b.at(at + 1));
  return bytes::LoadU16(b, at);
}
std::uint32_t GetU32(const ByteVector& b, std::size_t at) {
  static_cast<void>(b.at(at + 3));
  return bytes::LoadU32(b, at);
}

ByteVector ChunkWithSize(const char* id, std::uint32_t declared_size, const ByteVector& body, bool pad) {
  ByteVector c;
  PutTag(c, id);
  PutU32(c, declared_size);
  PutBytes(c, body);
  if (pad && (body.size() % 2) != 0) c.push_back(0);
  return c;
}

ByteVector Chunk(const char* id, const ByteVector& body, bool pad) {
  return ChunkWithSize(id, static_cast<std::uint32_t>(body.size()), body, pad);
}

ByteVector FmtBody(std::uint16_t format_tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                   bool with_cb_size, std::uint16_t cb_size, const ByteVector& extra) {
  ByteVector b;
  const std::uint16_t align = static_cast<std::uint16_t>(channels * bits / 8);
  PutU16(b, format_tag);
  PutU16(b, channels);
  PutU32(b, rate);
  PutU32(b, rate * align);
  PutU16(b, align);
  PutU16(b, bits);
  if (with_cb_size) PutU16(b, cb_size);
  PutBytes(b, extra);
  return b;
}

ByteVector PcmFmt(std::uint32_t rate, std::uint16_t channels, std::uint16_t bits) {
  return Chunk("fmt ", FmtBody(1, channels, rate, bits));
}

ByteVector ExtensibleFmtBody(std::uint16_t sub_format_tag, std::uint16_t channels, std::uint32_t rate,
                             std::uint16_t bits, std::uint16_t valid_bits) {
  ByteVector ext;
  PutU16(ext, valid_bits);
  PutU32(ext, channels == 1 ? 0x4 : 0x3);  // front centre, or front left and right
  PutU16(ext, sub_format_tag);
  PutBytes(ext, {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71});
  return FmtBody(0xFFFE, channels, rate, bits, true, 22, ext);
}

ByteVector SampleBytes(const std::vector<std::int16_t>& samples) {
  ByteVector b;
  b.reserve(samples.size() * 2);
  for (std::int16_t s : samples) PutU16(b, static_cast<std::uint16_t>(s));
  return b;
}

ByteVector Riff(const std::vector<ByteVector>& chunks, const char* form) {
  ByteVector body;
  PutTag(body, form);
  for (const auto& c : chunks) PutBytes(body, c);
  return Chunk("RIFF", body, false);
}

ByteVector SimpleWav(std::uint32_t rate, const std::vector<std::int16_t>& samples, std::uint16_t channels) {
  return Riff({PcmFmt(rate, channels), Chunk("data", SampleBytes(samples))});
}

ByteVector CueBody(const std::vector<std::uint32_t>& positions) {
  ByteVector b;
  PutU32(b, static_cast<std::uint32_t>(positions.size()));
  std::uint32_t id = 1;
  for (std::uint32_t p : positions) {
    PutU32(b, id++);
    PutU32(b, p);
    PutTag(b, "data");
    PutU32(b, 0);
    PutU32(b, 0);
    PutU32(b, p);
  }
  return b;
}

ByteVector AdtlBody(const std::vector<ByteVector>& sub_chunks) {
  ByteVector b;
  PutTag(b, "adtl");
  for (const auto& c : sub_chunks) PutBytes(b, c);
  return b;
}

ByteVector LablChunk(std::uint32_t cue_id, const std::string& text) {
  ByteVector b;
  PutU32(b, cue_id);
  b.insert(b.end(), text.begin(), text.end());
  b.push_back(0);
  return Chunk("labl", b);
}

ByteVector LtxtChunk(std::uint32_t cue_id, std::uint32_t sample_length) {
  ByteVector b;
  PutU32(b, cue_id);
  PutU32(b, sample_length);
  PutTag(b, "rgn ");
  PutU16(b, 0);
  PutU16(b, 0);
  PutU16(b, 0);
  PutU16(b, 0);
  return Chunk("ltxt", b);
}

void WriteFileBytes(const std::string& path, const ByteVector& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) throw std::runtime_error("cannot write " + path);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

ByteVector ReadFileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return {};
  return ByteVector(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

}  // namespace velkin::test
