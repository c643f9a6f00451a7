// The exported encoder entry, shared by TARPEL and VOSSIK: each export forwards its eight arguments here
// together with its code format and its coding stage (coding_stage.h).
#pragma once

#include <cstdint>

#include <velkin/platform.h>

#include "coding_stage.h"

#ifndef VELKIN_ENCODER_PROGRESS_CALLBACK_DEFINED
#define VELKIN_ENCODER_PROGRESS_CALLBACK_DEFINED
/* Progress report during an encoding, on the caller's thread: source is always 1, percent is
 * 0..100, user is the encoder's eighth argument handed back unchanged. The result is ignored.
 * The user value is 32 bits on 32-bit Windows and pointer-wide elsewhere. */
typedef int32_t(VELKIN_CALL* EncoderProgressCallback)(int32_t source, int32_t percent, intptr_t user);
#endif

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

}  // namespace velkin::encoder
