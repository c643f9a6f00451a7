// The exported encoder entry, shared by TARPEL and VOSSIK: each export forwards its eight arguments here
// together with its code format and its coding stage (coding_stage.h).
#pragma once

#include <cstdint>

#include <velkin/encoder.h>

#include "coding_stage.h"

namespace velkin::encoder {

// Results of an encoder call.
inline constexpr std::int32_t kResultFailed = 0;
inline constexpr std::int32_t kResultWritten = 1;
inline constexpr std::int32_t kResultNot16Bit = 2;

// The export's arguments, unchanged. Null texts count as empty.
struct EncoderCall {
  const char* output_path;
  const char* input_path;
  const char* clock;
  const char* reserved_text;
  std::int32_t reserved_value;
  std::uint32_t silence_threshold;
  EncoderProgressCallback progress;
  std::intptr_t user;
};

// Runs one encoding: 1 when the code file and the preview file were written, 0 on failure (both outputs,
// once created, are left empty), 2 when the input is not 16-bit. Never throws.
std::int32_t RunEncoder(const CodeFormat& format, CodingStage& stage, const EncoderCall& call) noexcept;

// An export's whole body: its coding stage, made here so that a failure to make it is a failure
// of the call too, run on its code format.
template <class Stage>
std::int32_t RunExport(const CodeFormat& format, const EncoderCall& call) noexcept {
  try {
    Stage stage;
    return RunEncoder(format, stage, call);
  } catch (...) {
    return kResultFailed;
  }
}

}  // namespace velkin::encoder
