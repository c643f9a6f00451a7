#include "formats/code_file.h"

#include "formats/code_file_layout.h"
#include "formats/le_bytes.h"

namespace velkin::decode {
namespace {

// Everything after the header: sample blocks and escape records up to the end of stream, which must be
// the file's last bytes.
bool DecodeStream(std::span<const std::uint8_t> file, std::size_t at, DecodedFile& out, std::string& error) {
  const BlockDecoder& decoder = *out.decoder;
  auto ends_here = [&](std::size_t next) {
    if (next == file.size()) return true;
    error = "bytes after the end of stream at byte " + std::to_string(next);
    return false;
  };
  while (at < file.size()) {
    if (file[at] != decoder.escape_byte) {
      const RecordResult r = decoder.decode_record(file, at, out.samples);
      if (r.kind == RecordKind::kInvalid) {
        error = "bad record at byte " + std::to_string(at);
        return false;
      }
      at += r.size;
      if (r.kind == RecordKind::kEndOfStream) return ends_here(at);
      ++out.blocks;
      continue;
    }
    const codefile::EscapeRecord r = codefile::ReadEscapeRecord(file, at, decoder.escape_zero_ends_stream);
    switch (r.kind) {
      case codefile::EscapeRecord::Kind::kTruncated:
        error = "no end of stream";
        return false;
      case codefile::EscapeRecord::Kind::kInvalid:
        error = "bad escape record at byte " + std::to_string(at);
        return false;
      case codefile::EscapeRecord::Kind::kEnd:
        return ends_here(at + r.size);
      case codefile::EscapeRecord::Kind::kMarker:
        out.marks.push_back({r.type, r.cue, r.label, out.samples.size(), at});
        break;
      case codefile::EscapeRecord::Kind::kSilence:
        out.silences.push_back({out.samples.size(), r.run});
        out.samples.insert(out.samples.end(), r.run, 0);
        ++out.silence_records;
        break;
    }
    at += r.size;
  }
  error = "no end of stream";
  return false;
}

}  // namespace

std::optional<DecodedFile> DecodeCodeFile(std::span<const std::uint8_t> file, std::uint32_t clock, std::string& error) {
  if (file.size() < 8) {
    error = "too short for a code file";
    return std::nullopt;
  }
  if (!codefile::LooksLikeHeader(file)) {
    error = "not a code file (rate byte)";
    return std::nullopt;
  }
  const BlockDecoder* decoder = FindDecoder(file[4]);
  if (!decoder) {
    error = "unknown format byte " + std::to_string(file[4]);
    return std::nullopt;
  }
  // The layout whose stream decodes to an end of stream exactly at the file's end wins.
  std::string last_error = "no header end";
  for (std::size_t timer_length : codefile::kTimerLengths) {
    const auto header = codefile::ReadHeader(file, timer_length);
    if (!header) continue;
    DecodedFile out;
    out.decoder = decoder;
    out.declared_samples = header->declared_samples;
    out.stream_start = header->stream_start;
    out.rate_code = header->rate_code;
    out.timer_bytes = header->timer_bytes;
    out.sample_rate = codefile::RateOf(*header, clock);
    if (DecodeStream(file, header->stream_start, out, last_error)) return out;
  }
  error = last_error;
  return std::nullopt;
}

}  // namespace velkin::decode
