#include "sound/level.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>

// Set by the build: 1 where libebur128 is linked.
#ifndef VELKIN_HAVE_EBUR128
#define VELKIN_HAVE_EBUR128 0
#endif

#if VELKIN_HAVE_EBUR128
#include <ebur128.h>
#endif

namespace velkin::sound {

namespace {

constexpr double kFullScale = 32768.0;

std::int16_t Clip(double v, std::uint64_t& clipped) {
  const double r = std::nearbyint(v);
  if (r > 32767.0) {
    ++clipped;
    return 32767;
  }
  if (r < -32768.0) {
    ++clipped;
    return -32768;
  }
  return static_cast<std::int16_t>(r);
}

#if VELKIN_HAVE_EBUR128
// libebur128 sets process-wide constants in every ebur128_init and reads them when it measures, so
// two measurements at once would race on them.
std::mutex& MeterLock() {
  static std::mutex lock;
  return lock;
}

struct MeterDeleter {
  void operator()(ebur128_state* state) const { ebur128_destroy(&state); }
};
#endif

}  // namespace

bool HaveLoudnessMeter() {
  return VELKIN_HAVE_EBUR128 != 0;
}

std::optional<double> IntegratedLoudness(std::span<const std::int16_t> samples, std::uint32_t rate,
                                         std::string& error) {
#if VELKIN_HAVE_EBUR128
  std::lock_guard guard(MeterLock());
  std::unique_ptr<ebur128_state, MeterDeleter> meter(ebur128_init(1, rate, EBUR128_MODE_I));
  if (!meter) {
    error = "the loudness meter cannot measure at " + std::to_string(rate) + " Hz";
    return std::nullopt;
  }
  // Fed in pieces: the meter takes a frame count of its own width.
  constexpr std::size_t kPiece = 1 << 16;
  for (std::size_t at = 0; at < samples.size(); at += kPiece) {
    const std::size_t n = std::min(kPiece, samples.size() - at);
    if (ebur128_add_frames_short(meter.get(), samples.data() + at, n) != EBUR128_SUCCESS) {
      error = "the loudness meter failed";
      return std::nullopt;
    }
  }
  double lufs = 0.0;
  if (ebur128_loudness_global(meter.get(), &lufs) != EBUR128_SUCCESS || !std::isfinite(lufs)) {
    error = "the sound is too short or too quiet to measure its loudness (it needs 0.4 s above -70 LUFS)";
    return std::nullopt;
  }
  return lufs;
#else
  (void)samples;
  (void)rate;
  error =
      "this build has no loudness meter (EBU R128, libebur128), so a loudness target cannot be met; "
      "give a gain in dB or a peak target in dBFS instead";
  return std::nullopt;
#endif
}

double PeakDbfs(std::span<const std::int16_t> samples) {
  int peak = 0;
  for (const std::int16_t s : samples) peak = std::max(peak, std::abs(static_cast<int>(s)));
  return peak == 0 ? -std::numeric_limits<double>::infinity() : 20.0 * std::log10(peak / kFullScale);
}

std::optional<double> GainFor(const Level& level, std::span<const std::int16_t> samples, std::uint32_t rate,
                              std::string& error) {
  if (!std::isfinite(level.value)) {
    error = "the level is not a number";
    return std::nullopt;
  }
  switch (level.mode) {
    case LevelMode::kNone:
      return 0.0;
    case LevelMode::kGain:
      return level.value;
    case LevelMode::kLoudness: {
      const auto measured = IntegratedLoudness(samples, rate, error);
      if (!measured) return std::nullopt;
      return level.value - *measured;
    }
    case LevelMode::kPeak: {
      const double peak = PeakDbfs(samples);
      if (!std::isfinite(peak)) {
        error = "the sound is silence: it has no peak to normalise";
        return std::nullopt;
      }
      return level.value - peak;
    }
  }
  return 0.0;
}

std::uint64_t ApplyGain(std::vector<std::int16_t>& samples, double db) {
  if (db == 0.0) return 0;
  const double factor = std::pow(10.0, db / 20.0);
  std::uint64_t clipped = 0;
  for (std::int16_t& s : samples) s = Clip(s * factor, clipped);
  return clipped;
}

std::uint64_t ToPcm16(std::span<const float> in, std::span<std::int16_t> out) {
  std::uint64_t clipped = 0;
  const std::size_t n = std::min(in.size(), out.size());
  for (std::size_t i = 0; i < n; ++i) out[i] = Clip(static_cast<double>(in[i]) * kFullScale, clipped);
  return clipped;
}

KeptRange FindTrim(std::span<const std::int16_t> samples, std::uint32_t rate, const TrimSettings& settings) {
  const double threshold = kFullScale * std::pow(10.0, settings.thresholdDbfs / 20.0);
  const auto loud = [threshold](std::int16_t s) { return std::abs(static_cast<double>(s)) >= threshold; };
  const auto first = std::find_if(samples.begin(), samples.end(), loud);
  if (first == samples.end()) return {};
  const auto last = std::find_if(samples.rbegin(), samples.rend(), loud);
  const std::uint64_t margin =
      static_cast<std::uint64_t>(std::llround(std::max(0.0, settings.marginSeconds) * static_cast<double>(rate)));
  const auto begin = static_cast<std::uint64_t>(first - samples.begin());
  const auto end = static_cast<std::uint64_t>(samples.rend() - last);  // one past the last loud sample
  return {begin > margin ? begin - margin : 0, std::min<std::uint64_t>(samples.size(), end + margin)};
}

}  // namespace velkin::sound
