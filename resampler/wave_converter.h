// WAV in, another sample rate out: the conversion behind the Sondrel export.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "resampler/os/large_memory.h"
#include "riff/riff_file.h"
#include "riff/wave_file.h"
#include "riff/wave_format.h"

namespace velkin::sondrel {

// Samples that are written in full before anything reads them: the whole-file buffers of a
// conversion. They are not cleared when made, so that each page is first touched by what fills it
// (the read of the file, the resampler), and they sit on huge pages where the system offers them.
class SampleBuffer {
 public:
  // `count` samples of unspecified value; false, leaving the buffer empty, when memory is short.
  bool Allocate(std::size_t count);
  void Release();
  std::int16_t* data() { return samples_.get(); }
  const std::int16_t* data() const { return samples_.get(); }
  std::size_t size() const { return size_; }
  std::span<const std::int16_t> span() const { return {samples_.get(), size_}; }

 private:
  LargeMemory samples_;
  std::size_t size_ = 0;
};

// A WAV file as the converter takes it: its format chunk, and its "data" chunk as signed 16-bit
// little-endian samples of one stream, whatever the format says (an odd last byte is left out).
struct WaveInput {
  riff::FormatChunk format;
  SampleBuffer samples;
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
// samples than that: the output would then hold samples that were never computed. The converter
// resamples into a buffer that is not cleared first; callers that keep samples in a vector get one.
bool ResampleSamples(std::span<const std::int16_t> input, float inputRate, float outputRate, SampleBuffer& output);
bool ResampleSamples(std::span<const std::int16_t> input, float inputRate, float outputRate,
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
