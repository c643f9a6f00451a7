// Code files of any content: decoding refuses what it cannot read and never reads past the file;
// what it accepts becomes a WAV file of exactly its samples.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "tools/velkin-decode/code_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velkin::decode;
  std::string error;
  const auto decoded = DecodeCodeFile(std::span<const std::uint8_t>(data, size), 12000000, error);
  if (!decoded) {
    if (error.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  if (decoded->decoder == nullptr || decoded->sample_rate == 0) std::abort();
  const auto wav = MonoWav(decoded->samples, decoded->sample_rate);
  if (wav.size() != 44 + 2 * decoded->samples.size()) std::abort();
  return 0;
}
