#include "sound/convert.h"

#include <new>

#include "sound/level.h"
#include "sound/prepare.h"

namespace velkin::sound {

std::optional<ConvertedSound> ConvertRate(const WaveAudio& source, std::uint32_t rate, std::string& error) {
  const std::size_t channels = source.format.channels;
  if (source.frames == 0 || channels == 0 || source.samples.size() < source.frames * channels) {
    error = "the file holds no samples";
    return std::nullopt;
  }
  ConvertedSound out;
  out.rate = rate;
  out.channels = source.format.channels;
  try {
    const auto frames = static_cast<std::size_t>(source.frames);
    std::vector<float> channel(frames);
    std::vector<std::int16_t> pcm(frames);
    std::vector<std::int16_t> resampled;
    for (std::size_t c = 0; c < channels; ++c) {
      for (std::size_t f = 0; f < frames; ++f) channel[f] = source.samples[f * channels + c];
      out.clipped += ToPcm16(channel, pcm);
      if (!Resample(pcm, source.format.rate, rate, resampled, error)) return std::nullopt;
      if (c == 0) {
        out.frames = resampled.size();
        out.samples.resize(resampled.size() * channels);
      }
      for (std::size_t f = 0; f < resampled.size(); ++f) out.samples[f * channels + c] = resampled[f];
    }
  } catch (const std::bad_alloc&) {
    error = "not enough memory to convert " + std::to_string(source.frames) + " frames";
    return std::nullopt;
  }
  MarkerScaling markers = ScaleMarkers(source.markers, source.format.rate, rate, out.frames);
  out.markers = std::move(markers.kept);
  out.lostMarkers = std::move(markers.lost);
  return out;
}

}  // namespace velkin::sound
