#include <cstdio>
#include <cstring>
#include <memory>

#include "bench/compare/peers.h"

// The peers' WAV input and output as a user's program on this (little-endian) machine would do
// it: the chunk headers walked with fread, the samples read and written in one call each.
namespace velkin::bench {

namespace {

struct CloseFile {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, CloseFile>;

std::uint32_t U32(const unsigned char* b) {
  return b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

}  // namespace

Wav ReadWav(const std::string& path) {
  Wav w;
  const File f(std::fopen(path.c_str(), "rb"));
  unsigned char header[12];
  if (!f || std::fread(header, 1, 12, f.get()) != 12) return w;
  unsigned char chunk[8];
  while (std::fread(chunk, 1, 8, f.get()) == 8) {
    const std::uint32_t size = U32(chunk + 4);
    if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 8) {
      unsigned char format[8];
      if (std::fread(format, 1, 8, f.get()) != 8) return w;
      w.rate = U32(format + 4);
      std::fseek(f.get(), static_cast<long>(size - 8 + (size & 1)), SEEK_CUR);
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      w.samples.resize(size / 2);
      w.samples.resize(std::fread(w.samples.data(), 2, w.samples.size(), f.get()));
      break;
    } else {
      std::fseek(f.get(), static_cast<long>(size + (size & 1)), SEEK_CUR);
    }
  }
  return w;
}

void WriteWav(const std::string& path, std::uint32_t rate, const std::vector<std::int16_t>& samples) {
  const File f(std::fopen(path.c_str(), "wb"));
  if (!f) return;
  const auto data = static_cast<std::uint32_t>(samples.size() * 2);
  unsigned char h[44];
  const auto put32 = [&h](int at, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) h[at + k] = static_cast<unsigned char>(v >> (8 * k));
  };
  std::memcpy(h, "RIFF", 4);
  put32(4, 36 + data);
  std::memcpy(h + 8, "WAVEfmt ", 8);
  put32(16, 16);
  put32(20, 1 | 1 << 16);  // PCM, one channel
  put32(24, rate);
  put32(28, rate * 2);
  put32(32, 2 | 16 << 16);  // block align, bits
  std::memcpy(h + 36, "data", 4);
  put32(40, data);
  std::fwrite(h, 1, sizeof h, f.get());
  std::fwrite(samples.data(), 2, samples.size(), f.get());
}

void WriteRaw(const std::string& path, const void* data, std::size_t bytes) {
  const File f(std::fopen(path.c_str(), "wb"));
  if (f) std::fwrite(data, 1, bytes, f.get());
}

void CopyJob(const std::string& in, const std::string& out) {
  const File from(std::fopen(in.c_str(), "rb"));
  const File to(std::fopen(out.c_str(), "wb"));
  if (!from || !to) return;
  std::vector<char> buffer(1 << 16);
  for (std::size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), from.get())) > 0;) {
    std::fwrite(buffer.data(), 1, n, to.get());
  }
}

}  // namespace velkin::bench
