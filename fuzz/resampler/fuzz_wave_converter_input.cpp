// A WAV file image as the converter reads it: chunk walk, format record, sample data; then, for
// inputs small enough, the conversion to 16000 Hz the console asks for.
#include <cstddef>
#include <cstdint>
#include <span>

#include "resampler/wave_converter.h"
#include "riff/riff_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto reader = velkin::riff::Reader::FromMemory(std::span<const std::uint8_t>(data, size));
  velkin::sondrel::WaveInput wave;
  if (velkin::sondrel::ReadWaveInput(*reader, wave) != velkin::sondrel::ReadStatus::kOk) return 0;
  const std::uint32_t rate = wave.format.format.nSamplesPerSec;
  if (rate == 0 || wave.samples.size() > 50000) return 0;
  velkin::sondrel::SampleBuffer out;
  velkin::sondrel::ResampleSamples(wave.samples.span(), static_cast<float>(rate), 16000.0f, out);
  return 0;
}
