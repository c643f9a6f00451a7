// Builds RIFF/WAVE files byte by byte for tests, including odd and hostile layouts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/signals/test_signals.h"  // the signals most WAV files of the tests carry

namespace velkin::test {

using ByteVector = std::vector<std::uint8_t>;

// Little-endian appenders.
void PutU8(ByteVector& b, std::uint8_t v);
void PutU16(ByteVector& b, std::uint16_t v);
void PutU32(ByteVector& b, std::uint32_t v);
void PutTag(ByteVector& b, const char* four_cc);
void PutBytes(ByteVector& b, const ByteVector& more);

std::uint16_t GetU16(const ByteVector& b, std::size_t at);
std::uint32_t GetU32(const ByteVector& b, std::size_t at);

// A chunk: id, 32-bit size (the body's size unless `declared_size` is given), body, and a pad
// byte after an odd-sized body when `pad` is set (as RIFF requires).
ByteVector Chunk(const char* id, const ByteVector& body, bool pad = true);
ByteVector ChunkWithSize(const char* id, std::uint32_t declared_size, const ByteVector& body, bool pad = true);

// "fmt " body: 16 bytes, or 18 with cbSize (and `extra` bytes after it for longer records).
ByteVector FmtBody(std::uint16_t format_tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                   bool with_cb_size = false, std::uint16_t cb_size = 0, const ByteVector& extra = {});
ByteVector PcmFmt(std::uint32_t rate, std::uint16_t channels = 1, std::uint16_t bits = 16);
// "fmt " body of a WAVE_FORMAT_EXTENSIBLE record: valid bits, a channel mask and the sub-format GUID
// that stands for `sub_format_tag` (1 PCM, 3 float).
ByteVector ExtensibleFmtBody(std::uint16_t sub_format_tag, std::uint16_t channels, std::uint32_t rate,
                             std::uint16_t bits, std::uint16_t valid_bits);

ByteVector SampleBytes(const std::vector<std::int16_t>& samples);

// "RIFF" <size> <form> followed by the given chunks (already framed).
ByteVector Riff(const std::vector<ByteVector>& chunks, const char* form = "WAVE");

// A plain 16-bit PCM WAV file with a 16-byte fmt chunk.
ByteVector SimpleWav(std::uint32_t rate, const std::vector<std::int16_t>& samples, std::uint16_t channels = 1);

// Cue chunk body with the given positions (identifiers 1, 2, ...).
ByteVector CueBody(const std::vector<std::uint32_t>& positions);
// LIST/adtl body made of labl and ltxt sub-chunks (already framed).
ByteVector AdtlBody(const std::vector<ByteVector>& sub_chunks);
ByteVector LablChunk(std::uint32_t cue_id, const std::string& text);
ByteVector LtxtChunk(std::uint32_t cue_id, std::uint32_t sample_length);

void WriteFileBytes(const std::string& path, const ByteVector& bytes);
ByteVector ReadFileBytes(const std::string& path);

}  // namespace velkin::test
