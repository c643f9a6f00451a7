// Runs the TARPEL export (the shared library as built) on generated WAV files and reads its code stream
// back as records, for the tests of the front end and of the 12-bit coding.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <velkin/platform.h>

#include "tests/support/code_stream.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wav_builder.h"

namespace velkin::test {

struct TarpelOptions {
  std::string clock = "12000000";
  std::string reserved_text = "8";
  std::uint32_t threshold = 0;
  bool with_callback = true;
};

struct ProgressCall {
  std::int32_t source;
  std::int32_t percent;
  bool operator==(const ProgressCall&) const = default;
};

struct TarpelRun {
  std::int32_t result = -1;
  bool code_exists = false;
  bool preview_exists = false;
  ByteVector code;
  std::vector<std::int16_t> preview;
  std::vector<ProgressCall> progress;
};

// A progress callback that appends to the std::vector<ProgressCall> whose address is the user value.
std::int32_t VELKIN_CALL CollectProgress(std::int32_t source, std::int32_t percent, std::intptr_t user);

// Calls TARPEL with the given paths (output may be empty) and collects the outputs and the progress.
TarpelRun RunTarpel(const std::string& output, const std::string& input, const TarpelOptions& options = {});
// Writes `wav` to in.wav in `dir` and encodes it to out.COD.
TarpelRun EncodeWav(const TempDir& dir, const ByteVector& wav, const TarpelOptions& options = {});

std::vector<std::int16_t> Int16s(const ByteVector& bytes);

// One record of a TARPEL code stream; a block's samples are read here from the 12-bit packing rules,
// not with the encoder's code.
struct Record : CodeRecord {
  // Block: mode, length and the 16-bit words the 12-bit values stand for (value << 4).
  bool normal = false;
  std::uint32_t length = 0;
  std::vector<std::uint16_t> words;
};

// The header length for the usual clock and rate (12000000 Hz, 16000 Hz): 10 bytes.
inline constexpr std::size_t kUsualHeaderBytes = 10;

// Parses the records after a header of `header_bytes`; fails the current test on a malformed stream.
std::vector<Record> ParseTarpelStream(const ByteVector& code, std::size_t header_bytes = kUsualHeaderBytes);

// Sum of the samples that blocks and silence records of `records` stand for.
std::uint64_t CodedSamples(const std::vector<Record>& records);

// Collects the fuzz seeds the tests make (written to the build's fuzz-seeds folder when it is known).
void SaveFuzzSeed(const std::string& name, const ByteVector& wav);

}  // namespace velkin::test
