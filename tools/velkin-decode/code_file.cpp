#include "code_file.h"

#include <array>
#include <cmath>

namespace velkin::decode {
namespace {

constexpr std::uint8_t kHeaderEnd = 0x07;
constexpr std::uint8_t kRateNibble = 0x0B;
constexpr std::uint32_t kSilenceBase = 0x4000;
constexpr std::uint32_t kSpecialClock = 3580000;
constexpr std::array<std::uint32_t, 10> kRates = {6000, 8000, 11025, 16000, 22050, 32000, 44100, 48000, 96000, 192000};

// Everything after the header: sample blocks and escape records up to the end of stream, which must be
// the file's last bytes.
bool DecodeStream(std::span<const std::uint8_t> file, std::size_t at, DecodedFile& out, std::string& error) {
  const BlockDecoder& decoder = *out.decoder;
  while (at < file.size()) {
    if (file[at] != decoder.escape_byte) {
      const RecordResult r = decoder.decode_record(file, at, out.samples);
      if (r.kind == RecordKind::kInvalid) {
        error = "bad record at byte " + std::to_string(at);
        return false;
      }
      at += r.size;
      if (r.kind == RecordKind::kEndOfStream) {
        if (at == file.size()) return true;
        error = "bytes after the end of stream at byte " + std::to_string(at);
        return false;
      }
      ++out.blocks;
      continue;
    }
    if (file.size() - at < 3) break;
    const std::uint8_t b1 = file[at + 1];
    const std::uint8_t b2 = file[at + 2];
    // A region marker's second byte is 0x20..0x3F; a silence record's high byte is 0x40 or more.
    if ((b1 == 1 || b1 == 2) && b2 >= 0x20 && b2 < 0x40) {
      if (file.size() - at < 4) break;
      out.marks.push_back({b1, static_cast<std::uint8_t>(b2 & 0x1F), file[at + 3], out.samples.size()});
      at += 4;
      continue;
    }
    const std::uint32_t value = b1 | (static_cast<std::uint32_t>(b2) << 8);
    if (value == 0 && decoder.escape_zero_ends_stream) {
      at += 3;
      if (at == file.size()) return true;
      error = "bytes after the end of stream at byte " + std::to_string(at);
      return false;
    }
    if (value <= kSilenceBase) {
      error = "bad escape record at byte " + std::to_string(at);
      return false;
    }
    out.silences.push_back({out.samples.size(), value - kSilenceBase});
    out.samples.insert(out.samples.end(), value - kSilenceBase, 0);
    ++out.silence_records;
    at += 3;
  }
  error = "no end of stream";
  return false;
}

std::uint32_t RateOf(const DecodedFile& f, std::uint32_t clock) {
  if (f.rate_code < kRates.size()) return kRates[f.rate_code];
  // Any other rate: the device plays at what the timer gives, 65536 - clock / (4 R).
  const std::size_t n = f.timer_bytes.size();
  const std::uint32_t timer =
      n == 8 ? (f.timer_bytes[0] | (f.timer_bytes[1] << 8)) : (f.timer_bytes[n - 2] | (f.timer_bytes[n - 1] << 8));
  const std::uint32_t ticks = 65536u - timer;
  if (ticks == 0 || clock == 0) return 16000;
  const double c = n == 8 ? kSpecialClock : clock;
  return static_cast<std::uint32_t>(std::lround(c / (4.0 * ticks)));
}

}  // namespace

std::optional<DecodedFile> DecodeCodeFile(std::span<const std::uint8_t> file, std::uint32_t clock, std::string& error) {
  if (file.size() < 8) {
    error = "too short for a code file";
    return std::nullopt;
  }
  if ((file[3] & 0x0F) != kRateNibble) {
    error = "not a code file (rate byte)";
    return std::nullopt;
  }
  const BlockDecoder* decoder = FindDecoder(file[4]);
  if (!decoder) {
    error = "unknown format byte " + std::to_string(file[4]);
    return std::nullopt;
  }
  // The timer values take 4 bytes (prescaler and 16-bit value), 2 (no prescaler fits) or 8 (the
  // 3580000 Hz clock); the layout whose stream decodes to an end of stream exactly at the file's end wins.
  std::string last_error = "no header end";
  for (std::size_t timer_length : {4u, 2u, 8u}) {
    const std::size_t end = 5 + timer_length;
    if (end >= file.size() || file[end] != kHeaderEnd) continue;
    DecodedFile out;
    out.decoder = decoder;
    out.declared_samples = file[0] | (file[1] << 8) | (static_cast<std::uint32_t>(file[2]) << 16);
    out.rate_code = file[3] >> 4;
    out.timer_bytes.assign(file.begin() + 5, file.begin() + static_cast<std::ptrdiff_t>(end));
    out.sample_rate = RateOf(out, clock);
    if (DecodeStream(file, end + 1, out, last_error)) return out;
  }
  error = last_error;
  return std::nullopt;
}

std::vector<std::uint8_t> MonoWav(std::span<const std::int16_t> samples, std::uint32_t sample_rate) {
  const auto data_bytes = static_cast<std::uint32_t>(samples.size() * 2);
  std::vector<std::uint8_t> w;
  w.reserve(44 + data_bytes);
  auto u16 = [&w](std::uint32_t v) {
    w.push_back(static_cast<std::uint8_t>(v));
    w.push_back(static_cast<std::uint8_t>(v >> 8));
  };
  auto u32 = [&u16](std::uint32_t v) {
    u16(v & 0xFFFFu);
    u16(v >> 16);
  };
  auto tag = [&w](const char* t) {
    for (int i = 0; i < 4; ++i) w.push_back(static_cast<std::uint8_t>(t[i]));
  };
  tag("RIFF");
  u32(4 + 8 + 16 + 8 + data_bytes);
  tag("WAVE");
  tag("fmt ");
  u32(16);
  u16(1);  // PCM
  u16(1);  // mono
  u32(sample_rate);
  u32(sample_rate * 2);
  u16(2);
  u16(16);
  tag("data");
  u32(data_bytes);
  for (std::int16_t s : samples) u16(static_cast<std::uint16_t>(s));
  return w;
}

}  // namespace velkin::decode
