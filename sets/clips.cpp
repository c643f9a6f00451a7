#include "sets/clips.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "sound/prepare.h"

namespace velkin::sets {
namespace {

std::uint64_t Rescaled(std::uint64_t samples, std::uint32_t from, std::uint32_t to) {
  return static_cast<std::uint64_t>(std::llround(static_cast<double>(samples) * to / from));
}

// The converter lowers a rate at most about 7.4 times in one run (its filter's reach must stay
// inside its input block); a larger step, 48 kHz to 6000 Hz say, goes through rate * 4 first.
constexpr std::uint32_t kMaxStep = 7;

bool ResampleInSteps(const std::vector<std::int16_t>& in, std::uint32_t from, std::uint32_t to,
                     std::vector<std::int16_t>& out, std::string& error) {
  if (from <= static_cast<std::uint64_t>(to) * kMaxStep) return sound::Resample(in, from, to, out, error);
  std::vector<std::int16_t> between;
  return ResampleInSteps(in, from, to * 4, between, error) && sound::Resample(between, to * 4, to, out, error);
}

// 16-bit mono samples as a sound to prepare.
sound::WaveAudio MonoAudio(const std::vector<std::int16_t>& samples, std::uint32_t rate) {
  sound::WaveAudio audio;
  audio.format.type = sound::SampleType::kSigned16;
  audio.format.formatTag = 1;
  audio.format.channels = 1;
  audio.format.rate = rate;
  audio.format.bitsPerSample = 16;
  audio.format.validBits = 16;
  audio.format.blockAlign = 2;
  audio.frames = audio.declaredFrames = samples.size();
  audio.samples.reserve(samples.size());
  for (const std::int16_t s : samples) audio.samples.push_back(static_cast<float>(s) / 32768.0f);
  return audio;
}

}  // namespace

std::string Decimal(double value, int digits) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", digits, value);
  return text;
}

int PeakOf(const std::vector<std::int16_t>& samples) {
  int peak = 0;
  for (const std::int16_t s : samples) peak = std::max(peak, std::abs(static_cast<int>(s)));
  return peak;
}

std::optional<LoadedClip> LoadClip(const SetFile& set, std::size_t index, Diagnostics& diagnostics) {
  const Clip& clip = set.clips[index];
  const int line = clip.fileSpot.line ? clip.fileSpot.line : clip.spot.line;
  const auto fail = [&](const std::string& why, int at) {
    diagnostics.Error(set.Name(), at, set.ClipTitle(index) + ": " + why, index);
    return std::nullopt;
  };
  LoadedClip out;
  out.path = set.ClipPath(clip);
  std::string error;
  auto audio = sound::ReadWaveAudio(out.path, error);
  if (!audio) return fail(error, line);
  out.format = audio->format;
  if (audio->Truncated()) {
    out.truncation = sound::TruncationNote(*audio);
    diagnostics.Warning(set.Name(), line, set.ClipTitle(index) + ": " + out.truncation, index);
  }
  // The preparation's first steps, one channel in 16 bits, once: every rate starts from there.
  sound::PrepareSettings channel;
  channel.rate = out.format.rate;
  channel.channels = clip.settings.channels;
  auto mono = sound::PrepareSound(*audio, channel, error);
  if (!mono) return fail(error, line);
  audio.reset();
  out.mono = std::move(mono->samples);
  out.clipped = mono->clipped;

  // Then the clip at its own rate, with its level and trim.
  out.ownRate = std::min(out.format.rate, kMaxJudgeRate);
  std::vector<std::int16_t> at_own;
  if (!ResampleInSteps(out.mono, out.format.rate, out.ownRate, at_own, error)) return fail(error, line);
  sound::PrepareSettings settings;
  settings.rate = out.ownRate;
  settings.level = clip.settings.level;
  settings.trim = clip.settings.trim;
  auto prepared = sound::PrepareSound(MonoAudio(at_own, out.ownRate), settings, error);
  if (!prepared) {
    const bool level = clip.settings.level.mode != sound::LevelMode::kNone && clip.settings.levelSpot.line > 0 &&
                       error.find("trim") == std::string::npos;
    return fail(error, level ? clip.settings.levelSpot.line : line);
  }
  out.gainDb = prepared->gainDb;
  out.clipped += prepared->clipped;
  out.trimmedStart = prepared->trimmedStart;
  out.trimmedEnd = prepared->trimmedEnd;
  out.untrimmed = prepared->samples.size() + out.trimmedStart + out.trimmedEnd;
  out.reference = std::move(prepared->samples);
  const int peak = PeakOf(out.reference);
  if (peak < kSilenceFloor) {
    return fail("is silence only: no sample reaches +-" + std::to_string(kSilenceFloor) + " (its peak is " +
                    std::to_string(peak) + "), so it would be coded as silence records alone",
                line);
  }
  if (out.clipped > 0) {
    diagnostics.Warning(set.Name(), clip.settings.levelSpot.line ? clip.settings.levelSpot.line : line,
                        set.ClipTitle(index) + ": " + std::to_string(out.clipped) +
                            " samples clipped at full scale (gain " + Decimal(out.gainDb, 1) + " dB)",
                        index);
  }
  return out;
}

bool ClipAtRate(const LoadedClip& clip, std::uint32_t rate, std::vector<std::int16_t>& out, std::string& error) {
  if (rate == clip.ownRate) {
    out = clip.reference;
    return true;
  }
  // What preparing the file at `rate` with a gain of gainDb gives: the converter, then the gain.
  std::vector<std::int16_t> samples;
  if (!ResampleInSteps(clip.mono, clip.format.rate, rate, samples, error)) return false;
  sound::ApplyGain(samples, clip.gainDb);
  const std::uint64_t n = samples.size();
  const std::uint64_t begin = std::min(n, Rescaled(clip.trimmedStart, clip.ownRate, rate));
  const std::uint64_t cut = Rescaled(clip.trimmedEnd, clip.ownRate, rate);
  const std::uint64_t end = cut >= n ? 0 : n - cut;
  if (end <= begin) {
    error = "nothing is left of it at " + std::to_string(rate) + " Hz";
    return false;
  }
  out.assign(samples.begin() + static_cast<std::ptrdiff_t>(begin), samples.begin() + static_cast<std::ptrdiff_t>(end));
  return true;
}

}  // namespace velkin::sets
