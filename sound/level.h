// The level of a sound: a gain, a loudness target (EBU R128 integrated loudness) or a peak target,
// the conversion to 16 bits with its clipped samples counted, and trimming the silence at both ends.
// Everything works on 16-bit mono samples, as the encoders take them.
//
// Loudness is measured with libebur128 where the build has it (VELKIN_HAVE_EBUR128: the Linux
// builds). The Windows builds have no meter: a loudness target is refused there with a message that
// says so and suggests a gain or a peak target, which work everywhere.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velkin::sound {

enum class LevelMode {
  kNone,      // leave the level as it is
  kGain,      // value: a gain in dB
  kLoudness,  // value: a target integrated loudness in LUFS
  kPeak,      // value: a target sample peak in dBFS (0 dBFS: a sample of -32768)
};

struct Level {
  LevelMode mode = LevelMode::kNone;
  double value = 0.0;

  static Level Gain(double db) { return {LevelMode::kGain, db}; }
  static Level Loudness(double lufs) { return {LevelMode::kLoudness, lufs}; }
  static Level Peak(double dbfs) { return {LevelMode::kPeak, dbfs}; }
};

// True when this build can measure loudness.
bool HaveLoudnessMeter();

// EBU R128 integrated loudness of `samples` at `rate`, in LUFS. Nothing, with the reason, when the
// build has no meter, or the sound is too short or too quiet to measure (under 0.4 s of signal
// above the absolute gate of -70 LUFS). The meter's own state is shared by the process, so
// measurements are taken one at a time (a lock inside; safe to call from any thread).
std::optional<double> IntegratedLoudness(std::span<const std::int16_t> samples, std::uint32_t rate, std::string& error);

// The sample peak in dBFS; minus infinity for silence.
double PeakDbfs(std::span<const std::int16_t> samples);

// The gain in dB that `level` asks for on these samples: its own value for kGain, the target minus
// the measured loudness or peak otherwise, 0 for kNone. Nothing, with the reason, when the level
// cannot be measured (no meter, silence) or is not a finite number.
std::optional<double> GainFor(const Level& level, std::span<const std::int16_t> samples, std::uint32_t rate,
                              std::string& error);

// Multiplies every sample by 10^(db / 20), rounding to nearest and clipping at the 16-bit limits.
// Returns the number of samples clipped. A gain of 0 dB leaves the samples exactly as they are.
std::uint64_t ApplyGain(std::vector<std::int16_t>& samples, double db);

// Converts full-scale floats (1.0 = 32768) to 16 bits, rounding to nearest and clipping. Returns the
// number of samples clipped. `out` must be as long as `in`.
std::uint64_t ToPcm16(std::span<const float> in, std::span<std::int16_t> out);

// Trimming silence: the samples before the first and after the last one whose magnitude reaches
// the threshold are removed, except for a margin kept on each side (so that a soft onset and the
// decay are not cut). Defaults: -50 dBFS (a magnitude of about 104) and 20 ms.
struct TrimSettings {
  double thresholdDbfs = -50.0;
  double marginSeconds = 0.020;
};

// The samples to keep: [begin, end). Empty (begin == end) when no sample reaches the threshold.
struct KeptRange {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
};

KeptRange FindTrim(std::span<const std::int16_t> samples, std::uint32_t rate, const TrimSettings& settings);

}  // namespace velkin::sound
