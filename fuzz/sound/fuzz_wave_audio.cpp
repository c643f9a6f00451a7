// Any bytes as a WAV file for the reader of every PCM WAV: it refuses with a reason or gives exactly
// the frames the file holds, never more than it declares, and markers that the file holds.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "sound/wave_audio.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string error;
  const auto audio = velkin::sound::ReadWaveAudio(std::span<const std::uint8_t>(data, size), error);
  if (!audio) {
    if (error.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  const auto& f = audio->format;
  if (audio->samples.size() != audio->frames * f.channels) std::abort();
  if (audio->frames > audio->declaredFrames) std::abort();
  // Nothing is allocated that the input does not back: at most four bytes of sample per file byte.
  if (audio->samples.size() > size) std::abort();
  // Each cue record takes 24 bytes of the file.
  if (audio->markers.size() * 24 > size) std::abort();
  if (audio->Truncated() == velkin::sound::TruncationNote(*audio).empty()) std::abort();
  return 0;
}
