// Code files of any content: the code-file reader refuses what it cannot read and never reads past
// the file; what it accepts becomes a WAV file of exactly its samples.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "formats/code_file.h"
#include "riff/wave_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velkin::decode;
  std::string error;
  const auto decoded = DecodeCodeFile(std::span<const std::uint8_t>(data, size), 12000000, error);
  if (!decoded) {
    if (error.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  if (decoded->decoder == nullptr || decoded->sample_rate == 0) std::abort();
  const auto wav = velkin::riff::Pcm16WaveBytes({.rate = decoded->sample_rate, .samples = decoded->samples});
  if (wav.size() != 44 + 2 * decoded->samples.size()) std::abort();
  return 0;
}
