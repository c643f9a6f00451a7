// A WAV file's sound at another rate, every channel kept: each channel on its own through the
// console's converter (Resample in prepare.h), as 16-bit samples, markers carried across.
//
// The console's own WAVCONV hands the converter an interleaved stereo file as one stream, which
// smears the channels into each other; resampling them one at a time keeps them apart.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "riff/wave_file.h"
#include "sound/wave_audio.h"

namespace velkin::sound {

struct ConvertedSound {
  std::uint32_t rate = 0;
  std::uint16_t channels = 0;
  std::vector<std::int16_t> samples;  // interleaved 16-bit frames at `rate`
  std::uint64_t frames = 0;
  std::vector<riff::Marker> markers;      // at the new rate (ScaleMarkers)
  std::vector<riff::Marker> lostMarkers;  // those past the new end, as they were
  std::uint64_t clipped = 0;              // samples clipped on the way to 16 bits (a float source)
};

// Every channel of `source` at `rate` (kMinRate to kMaxRate). A source already at that rate is only
// brought to 16 bits. Nothing, with the reason, for a sound without samples, a rate out of bounds,
// or a converter that fails.
std::optional<ConvertedSound> ConvertRate(const WaveAudio& source, std::uint32_t rate, std::string& error);

}  // namespace velkin::sound
