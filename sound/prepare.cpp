#include "sound/prepare.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>

#include "resampler/wave_converter.h"

namespace velkin::sound {

namespace {

bool RateInBounds(std::uint32_t rate) {
  return rate >= kMinRate && rate <= kMaxRate;
}

std::string RateError(const char* what, std::uint32_t rate) {
  return std::string(what) + " " + std::to_string(rate) + " Hz is outside " + std::to_string(kMinRate) + " to " +
         std::to_string(kMaxRate) + " Hz";
}

std::uint64_t Scaled(std::uint64_t value, std::uint32_t fromRate, std::uint32_t toRate) {
  return static_cast<std::uint64_t>(std::llround(static_cast<double>(value) * toRate / fromRate));
}

std::uint32_t ClampU32(std::uint64_t v) {
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(v, UINT32_MAX));
}

// A marker on its way through the preparation, with its place in the source's list.
struct Tracked {
  riff::Marker now;
  std::size_t source;
};

// The marker at the new rate, or nothing when its position falls at or beyond `frames`.
std::optional<riff::Marker> ScaleMarker(const riff::Marker& m, std::uint32_t fromRate, std::uint32_t toRate,
                                        std::uint64_t frames) {
  if (fromRate == 0) return std::nullopt;
  const std::uint64_t position = Scaled(m.position, fromRate, toRate);
  if (position >= frames) return std::nullopt;
  riff::Marker scaled = m;
  scaled.position = static_cast<std::uint32_t>(position);
  scaled.length = ClampU32(std::min(Scaled(m.length, fromRate, toRate), frames - position));
  return scaled;
}

// Removes everything before `begin` and from `end` on: a marker in the removed start moves to the
// new start (its length shortened by as much), one in the removed end is lost.
bool CutMarker(riff::Marker& m, std::uint64_t begin, std::uint64_t end) {
  if (m.position >= end) return false;
  if (m.position < begin) {
    const std::uint64_t early = begin - m.position;
    m.length = ClampU32(m.length > early ? m.length - early : 0);
    m.position = 0;
  } else {
    m.position = ClampU32(m.position - begin);
  }
  m.length = ClampU32(std::min<std::uint64_t>(m.length, end - begin - m.position));
  return true;
}

std::vector<float> OneChannel(const WaveAudio& source, ChannelChoice choice) {
  const std::size_t channels = source.format.channels;
  const auto frames = static_cast<std::size_t>(source.frames);
  std::vector<float> mono(frames);
  for (std::size_t f = 0; f < frames; ++f) {
    const float* frame = source.samples.data() + f * channels;
    if (choice == ChannelChoice::kFirst || channels == 1) {
      mono[f] = frame[0];
    } else {
      double sum = 0.0;
      for (std::size_t c = 0; c < channels; ++c) sum += frame[c];
      mono[f] = static_cast<float>(sum / static_cast<double>(channels));
    }
  }
  return mono;
}

}  // namespace

bool Resample(const std::vector<std::int16_t>& input, std::uint32_t fromRate, std::uint32_t toRate,
              std::vector<std::int16_t>& output, std::string& error) {
  if (!RateInBounds(fromRate) || !RateInBounds(toRate)) {
    error = RateError("the rate", RateInBounds(fromRate) ? toRate : fromRate);
    return false;
  }
  if (fromRate == toRate) {
    output = input;
    return true;
  }
  // The converter's own call, with its rates as the 32-bit floats it takes (exact at these rates).
  if (!sondrel::ResampleSamples(input, static_cast<float>(fromRate), static_cast<float>(toRate), output)) {
    error = "the converter could not resample " + std::to_string(input.size()) + " samples from " +
            std::to_string(fromRate) + " to " + std::to_string(toRate) + " Hz";
    return false;
  }
  return true;
}

MarkerScaling ScaleMarkers(std::span<const riff::Marker> markers, std::uint32_t fromRate, std::uint32_t toRate,
                           std::uint64_t frames) {
  MarkerScaling out;
  for (const riff::Marker& m : markers) {
    if (auto scaled = ScaleMarker(m, fromRate, toRate, frames)) {
      out.kept.push_back(std::move(*scaled));
    } else {
      out.lost.push_back(m);
    }
  }
  return out;
}

std::optional<PreparedSound> PrepareSound(const WaveAudio& source, const PrepareSettings& settings,
                                          std::string& error) {
  if (!RateInBounds(settings.rate)) {
    error = RateError("the target rate", settings.rate);
    return std::nullopt;
  }
  if (!RateInBounds(source.format.rate)) {
    error = RateError("the sample rate", source.format.rate);
    return std::nullopt;
  }
  if (source.frames == 0 || source.format.channels == 0 ||
      source.samples.size() < source.frames * source.format.channels) {
    error = "the file holds no samples";
    return std::nullopt;
  }
  PreparedSound out;
  out.rate = settings.rate;
  try {
    std::vector<std::int16_t> mono(static_cast<std::size_t>(source.frames));
    out.clipped = ToPcm16(OneChannel(source, settings.channels), mono);
    if (!Resample(mono, source.format.rate, settings.rate, out.samples, error)) return std::nullopt;
  } catch (const std::bad_alloc&) {
    error = "not enough memory to prepare " + std::to_string(source.frames) + " frames";
    return std::nullopt;
  }
  std::vector<Tracked> markers;
  for (std::size_t i = 0; i < source.markers.size(); ++i) {
    if (auto scaled = ScaleMarker(source.markers[i], source.format.rate, settings.rate, out.samples.size())) {
      markers.push_back({std::move(*scaled), i});
    } else {
      out.lostMarkers.push_back(source.markers[i]);
    }
  }

  const auto gain = GainFor(settings.level, out.samples, settings.rate, error);
  if (!gain) return std::nullopt;
  out.gainDb = *gain;
  out.clipped += ApplyGain(out.samples, out.gainDb);

  if (settings.trim) {
    const KeptRange keep = FindTrim(out.samples, settings.rate, *settings.trim);
    if (keep.begin == keep.end) {
      char threshold[32];
      std::snprintf(threshold, sizeof threshold, "%.1f", settings.trim->thresholdDbfs);
      error = std::string("nothing in the sound reaches the trim threshold of ") + threshold + " dBFS: it is silence";
      return std::nullopt;
    }
    out.trimmedStart = keep.begin;
    out.trimmedEnd = out.samples.size() - keep.end;
    out.samples.erase(out.samples.begin() + static_cast<std::ptrdiff_t>(keep.end), out.samples.end());
    out.samples.erase(out.samples.begin(), out.samples.begin() + static_cast<std::ptrdiff_t>(keep.begin));
    std::erase_if(markers, [&](Tracked& t) {
      if (CutMarker(t.now, keep.begin, keep.end)) return false;
      out.lostMarkers.push_back(source.markers[t.source]);
      return true;
    });
  }
  for (Tracked& t : markers) out.markers.push_back(std::move(t.now));
  out.sourceSamples = source.format.type == SampleType::kSigned16 && source.format.channels == 1 &&
                      source.format.rate == settings.rate && out.gainDb == 0.0 && out.trimmedStart == 0 &&
                      out.trimmedEnd == 0;
  return out;
}

bool WritePreparedSound(const std::string& path, const PreparedSound& sound) {
  return riff::SavePcm16Wave(path,
                             {.rate = sound.rate, .channels = 1, .samples = sound.samples, .markers = sound.markers});
}

}  // namespace velkin::sound
