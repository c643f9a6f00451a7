// What the VOSSIK export must write for a given input, built step by step from the format rules with
// the reference block search, and a reader of VOSSIK code streams that does not share code with the
// encoder's framing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/code_stream.h"

namespace velkin::adpcm4::test {

struct ModelEvent {
  std::uint32_t cue_index;
  std::uint32_t type;  // 1 start, 2 end
  std::uint32_t position;
  std::uint8_t label;
};

struct ModelInput {
  std::vector<std::int16_t> samples;   // the samples present in the file
  std::uint32_t declared_samples = 0;  // N (data size / 2); 0: samples.size()
  std::uint32_t rate = 16000;
  std::uint32_t threshold = 4;     // A after raising
  std::vector<ModelEvent> events;  // sorted, as the front end orders them
};

struct ModelOutput {
  std::vector<std::uint8_t> code;
  std::vector<std::int16_t> preview;
  std::vector<std::int32_t> progress;  // percentages reported
};

// The code-file header for the console's clock 12000000 Hz.
std::vector<std::uint8_t> ModelHeader(std::uint32_t samples, std::uint32_t rate);

ModelOutput ModelEncode(const ModelInput& input);

// One record of a VOSSIK code stream; a block's samples are decoded here from the format rules rather
// than with the codec's own decoder.
struct StreamRecord : velkin::test::CodeRecord {
  std::vector<std::uint16_t> decoded;  // block: the player's samples (offset binary)
};

// Reads the records after a header of `header_bytes`. Returns false (with a reason) on a malformed
// stream: unknown escape, truncated record, bad block, bytes after the end, or no end.
bool ParseStream(const std::vector<std::uint8_t>& code, std::size_t header_bytes, std::vector<StreamRecord>& records,
                 std::string& error);

}  // namespace velkin::adpcm4::test
