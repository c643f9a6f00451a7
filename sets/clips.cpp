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

std::optional<sound::PreparedSound> PrepareInSteps(const sound::WaveAudio& source,
                                                   const sound::PrepareSettings& settings, std::string& error) {
  if (source.format.rate <= static_cast<std::uint64_t>(settings.rate) * kMaxStep) {
    return sound::PrepareSound(source, settings, error);
  }
  sound::PrepareSettings first;
  first.rate = settings.rate * 4;
  first.channels = settings.channels;
  auto between = PrepareInSteps(source, first, error);
  if (!between) return std::nullopt;
  sound::WaveAudio mono;
  mono.format.type = sound::SampleType::kSigned16;
  mono.format.formatTag = 1;
  mono.format.channels = 1;
  mono.format.rate = between->rate;
  mono.format.bitsPerSample = 16;
  mono.format.validBits = 16;
  mono.format.blockAlign = 2;
  mono.frames = mono.declaredFrames = between->samples.size();
  mono.samples.reserve(between->samples.size());
  for (const std::int16_t s : between->samples) mono.samples.push_back(static_cast<float>(s) / 32768.0f);
  sound::PrepareSettings last = settings;
  last.channels = sound::ChannelChoice::kFirst;
  auto out = sound::PrepareSound(mono, last, error);
  if (out) out->clipped += between->clipped;
  return out;
}

}  // namespace

std::string Decimal(double value, int digits) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", digits, value);
  return text;
}

std::string ClipTitle(const SetFile& set, std::size_t index) {
  return "clip " + std::to_string(index + 1) + " (" + set.clips[index].file + ")";
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
    diagnostics.Error(set.Name(), at, ClipTitle(set, index) + ": " + why, index);
    return std::nullopt;
  };
  LoadedClip out;
  out.path = set.ClipPath(clip);
  std::string error;
  auto audio = sound::ReadWaveAudio(out.path, error);
  if (!audio) return fail(error, line);
  out.audio = std::move(*audio);
  if (out.audio.Truncated()) {
    out.truncation = sound::TruncationNote(out.audio);
    diagnostics.Warning(set.Name(), line, ClipTitle(set, index) + ": " + out.truncation, index);
  }
  out.ownRate = std::min(out.audio.format.rate, kMaxJudgeRate);
  sound::PrepareSettings settings;
  settings.rate = out.ownRate;
  settings.channels = clip.settings.channels;
  settings.level = clip.settings.level;
  settings.trim = clip.settings.trim;
  auto prepared = PrepareInSteps(out.audio, settings, error);
  if (!prepared) {
    const bool level = clip.settings.level.mode != sound::LevelMode::kNone && clip.settings.levelSpot.line > 0 &&
                       error.find("trim") == std::string::npos;
    return fail(error, level ? clip.settings.levelSpot.line : line);
  }
  out.gainDb = prepared->gainDb;
  out.clipped = prepared->clipped;
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
                        ClipTitle(set, index) + ": " + std::to_string(out.clipped) +
                            " samples clipped at full scale (gain " + Decimal(out.gainDb, 1) + " dB)",
                        index);
  }
  return out;
}

bool ClipAtRate(const LoadedClip& clip, const ClipSettings& settings, std::uint32_t rate,
                std::vector<std::int16_t>& out, std::string& error) {
  if (rate == clip.ownRate) {
    out = clip.reference;
    return true;
  }
  sound::PrepareSettings prepare;
  prepare.rate = rate;
  prepare.channels = settings.channels;
  prepare.level = sound::Level::Gain(clip.gainDb);
  auto prepared = PrepareInSteps(clip.audio, prepare, error);
  if (!prepared) return false;
  std::vector<std::int16_t>& samples = prepared->samples;
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
