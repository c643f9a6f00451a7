#include "code_stream.h"

#include "formats/code_file_layout.h"

namespace velkin::test {

bool ReadCodeStream(const ByteVector& code, std::size_t header_bytes, const CodeStreamFormat& format,
                    std::vector<CodeRecord>& records, std::string& error) {
  records.clear();
  if (header_bytes == 0 || code.size() < header_bytes || code[header_bytes - 1] != codefile::kHeaderEnd) {
    error = "no header end";
    return false;
  }
  std::size_t at = header_bytes;
  while (at < code.size()) {
    CodeRecord r;
    std::size_t size = 0;
    if (code[at] == format.escape_byte) {
      const auto e = codefile::ReadEscapeRecord(code, at, format.escape_zero_ends_stream);
      using Kind = codefile::EscapeRecord::Kind;
      if (e.kind == Kind::kTruncated || e.kind == Kind::kInvalid) {
        error = std::string(e.kind == Kind::kTruncated ? "truncated" : "unknown") + " escape record at byte " +
                std::to_string(at);
        return false;
      }
      size = e.size;
      r.kind = e.kind == Kind::kEnd      ? CodeRecord::Kind::kEnd
               : e.kind == Kind::kMarker ? CodeRecord::Kind::kMarker
                                         : CodeRecord::Kind::kSilence;
      if (r.kind == CodeRecord::Kind::kMarker) {
        r.type = e.type;
        r.cue_byte = code[at + 2];
        r.label = e.label;
      }
      r.run = e.run;
    } else {
      bool is_end = false;
      std::string why;
      size = format.record(code, at, is_end, why);
      if (size == 0) {
        error = why + " at byte " + std::to_string(at);
        return false;
      }
      r.kind = is_end ? CodeRecord::Kind::kEnd : CodeRecord::Kind::kBlock;
    }
    r.bytes.assign(code.begin() + static_cast<std::ptrdiff_t>(at),
                   code.begin() + static_cast<std::ptrdiff_t>(at + size));
    records.push_back(std::move(r));
    at += size;
    if (records.back().kind == CodeRecord::Kind::kEnd) {
      if (at == code.size()) return true;
      error = "bytes after the end of stream at byte " + std::to_string(at);
      return false;
    }
  }
  error = "no end of stream";
  return false;
}

}  // namespace velkin::test
