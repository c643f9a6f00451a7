// WAV in, another sample rate out: the conversion behind the Sondrel export.
#pragma once

#include <cstdint>
#include <vector>

#include "riff/riff_file.h"
#include "riff/wave_file.h"
#include "riff/wave_format.h"

namespace velkin::sondrel {

// A WAV file as the converter takes it: its format chunk, and its "data" chunk as signed 16-bit
// little-endian samples of one stream, whatever the format says (an odd last byte is left out).
struct WaveInput {
  riff::FormatChunk format;
  std::vector<std::int16_t> samples;
};

enum class ReadStatus {
  kOk,
  kNoWaveRiff,    // no RIFF chunk of form "WAVE"
  kNoFormat,      // no "fmt " chunk in it
  kAscendFailed,  // leaving the "fmt " chunk failed
  kNoData,        // no "data" chunk after the "fmt " chunk
  kShortData,     // the file ends before the samples the "data" chunk declares
  kNoMemory,
};

// Reads a WAVE file from the reader's start. Prints nothing.
ReadStatus ReadWaveInput(riff::Reader& reader, WaveInput& out);

// Resamples `input` from `inputRate` to `outputRate` as the converter does: trunc(n * out / in)
// samples (in double precision), large filter with interpolated coefficients, gain scale 1. False
// when the rates cannot be converted, memory is short, or the resampler fails or produces fewer
// samples than that: the output would then hold samples that were never computed.
bool ResampleSamples(const std::vector<std::int16_t>& input, float inputRate, float outputRate,
                     std::vector<std::int16_t>& output);

class C_WaveConverter {
 public:
  C_WaveConverter() = default;
  virtual ~C_WaveConverter();

  // Reads inputPath, resamples it to outputRate and writes outputPath. 1 when the file was written;
  // 0 on every failure and when the input already has that rate (no file is made then). File
  // errors go to the debugger output.
  std::int32_t convert(const char* inputPath, const char* outputPath, float outputRate);
};

}  // namespace velkin::sondrel
