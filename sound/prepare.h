// Preparing a sound for the encoders, as the console does and beyond: one channel, the console's
// converter to the target rate, 16-bit mono; then, as asked, a level and trimmed silence; markers
// carried across all of it.
//
// Typical use:
//   std::string error;
//   auto audio = sound::ReadWaveAudio(path, error);          // wave_audio.h
//   if (!audio) ...;                                           // error names what is wrong
//   auto prepared = sound::PrepareSound(*audio, {.rate = 16000, .level = sound::Level::Loudness(-20)}, error);
//   if (!prepared) ...;
//   sound::WritePreparedSound(out_path, *prepared);            // 16-bit mono WAV with its markers
//
// Threads: every function here may run on several threads at once, on different data. The
// resampler keeps its input counter per thread, and the loudness meter is taken one measurement at
// a time behind a lock of its own (level.h). Nothing else is shared.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "riff/wave_file.h"
#include "sound/level.h"
#include "sound/wave_audio.h"

namespace velkin::sound {

enum class ChannelChoice {
  kFirst,  // the first channel, as the console's mono routine keeps it
  kMix,    // the mean of all channels
};

struct PrepareSettings {
  std::uint32_t rate = 16000;  // the target rate, kMinRate to kMaxRate
  ChannelChoice channels = ChannelChoice::kFirst;
  Level level = {};                       // applied at the target rate
  std::optional<TrimSettings> trim = {};  // none: nothing trimmed
};

struct PreparedSound {
  std::uint32_t rate = 0;
  std::vector<std::int16_t> samples;  // 16-bit mono at `rate`
  // The source's markers at the new rate and after the trim (see ScaleMarkers), and those that
  // could not be kept, as they were in the source.
  std::vector<riff::Marker> markers;
  std::vector<riff::Marker> lostMarkers;
  double gainDb = 0.0;             // the gain applied for the level
  std::uint64_t clipped = 0;       // samples clipped on the way to 16 bits (a float source, or the gain)
  std::uint64_t trimmedStart = 0;  // samples removed at the start, at the target rate
  std::uint64_t trimmedEnd = 0;    // and at the end
  // The samples are the source file's own: it is 16-bit mono PCM at the target rate and nothing
  // changed them. Encoding the source file then gives exactly what encoding these samples gives.
  bool sourceSamples = false;
};

// Resamples 16-bit mono samples from `fromRate` to `toRate` exactly as the console's converter
// (ZOLT_WaveConverter) does: the same count, trunc(n * to / from), and the same samples. Equal
// rates give the input unchanged (where the converter would write nothing and the console would go
// on with its input). False, with the reason, when the converter cannot do it.
bool Resample(const std::vector<std::int16_t>& input, std::uint32_t fromRate, std::uint32_t toRate,
              std::vector<std::int16_t>& output, std::string& error);

struct MarkerScaling {
  std::vector<riff::Marker> kept;  // at the new rate
  std::vector<riff::Marker> lost;  // as they were
};

// Markers across a rate change: position and length multiplied by toRate / fromRate and rounded
// to the nearest frame (halves away from zero), identifiers and labels kept. A marker whose new
// position is at or beyond `frames` (the new length) cannot be kept and is returned as lost; a
// kept marker's length is cut where the sound ends.
MarkerScaling ScaleMarkers(std::span<const riff::Marker> markers, std::uint32_t fromRate, std::uint32_t toRate,
                           std::uint64_t frames);

// The whole preparation, in this order: one channel (`channels`), to 16 bits (rounded; only a float
// source can clip here), the converter to `rate` (skipped when the source has that rate), the
// level (its gain measured and applied at the target rate), then the trim. Markers follow: scaled
// to the rate, then moved with the trim (a marker inside the removed start moves to the new start,
// its length shortened by as much; one in the removed end is lost). Nothing, with the reason, for
// a sound without samples, a rate out of bounds, a level that cannot be met, or a trim that finds
// only silence.
std::optional<PreparedSound> PrepareSound(const WaveAudio& source, const PrepareSettings& settings, std::string& error);

// Writes a prepared sound as a 16-bit mono WAV file with its markers (riff/wave_file.h); false, and
// no file, when it could not be written whole.
bool WritePreparedSound(const std::string& path, const PreparedSound& sound);

}  // namespace velkin::sound
