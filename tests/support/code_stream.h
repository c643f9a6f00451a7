// Reads the stream of a code file back as records, for the tests of both encoders: the escape records
// through the shared code-file layout, the blocks by the size rule of the format under test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "wav_builder.h"

namespace velkin::test {

struct CodeRecord {
  enum class Kind { kBlock, kMarker, kSilence, kEnd };
  Kind kind = Kind::kBlock;
  ByteVector bytes;           // the whole record as written
  std::uint8_t type = 0;      // marker: 1 start, 2 end
  std::uint8_t cue_byte = 0;  // marker: as written, 0x20 | cue index
  std::uint8_t label = 0;     // marker: the label value's low eight bits
  std::uint32_t run = 0;      // silence: the samples it stands for
};

// What the reader needs to know of a format besides the shared layout.
struct CodeStreamFormat {
  std::uint8_t escape_byte;
  // True when the escape byte and a 16-bit 0 end the stream; otherwise the format's own end record is
  // one that `record` reports as the end.
  bool escape_zero_ends_stream;
  // The size of the non-escape record at `at` (0 when it is malformed or runs past the stream), and
  // whether it is the format's own end of stream.
  std::size_t (*record)(std::span<const std::uint8_t> code, std::size_t at, bool& is_end, std::string& error);
};

// The records after a header of `header_bytes` (whose last byte must be the header end mark), up to an
// end of stream that must be the stream's last bytes. False, with a reason, on a malformed stream.
bool ReadCodeStream(const ByteVector& code, std::size_t header_bytes, const CodeStreamFormat& format,
                    std::vector<CodeRecord>& records, std::string& error);

}  // namespace velkin::test
