// Generated test signals for the tests and the benchmarks: deterministic, and dependent only on
// their arguments. Golden and byte-compare tests rely on their exact samples, so a change of any
// generator changes what those tests expect.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velkin::test {

// A sine of `frequency` at `rate`, rounded.
std::vector<std::int16_t> Sine(std::size_t count, double frequency, double rate, double amplitude);
// White noise, uniform in +-amplitude (xorshift32 from `seed`).
std::vector<std::int16_t> Noise(std::size_t count, std::uint32_t seed, int amplitude);
// +amplitude for the first half of each period, -amplitude for the second.
std::vector<std::int16_t> Square(std::size_t count, std::size_t period, std::int16_t amplitude);

// Something like music at `rate`: six partials of 220 Hz with a slow vibrato, and some noise.
std::vector<std::int16_t> MusicLike(std::size_t count, double rate);
// A chord at 16000 Hz whose level follows a 4-second pattern: loud, quiet, silent (so that an
// encoder takes its plain, low-level and silence paths), with a little noise while it sounds.
std::vector<std::int16_t> ChordWithPauses(std::size_t count);

// Speech-like sound at `rate`: syllables of voiced sound (a gliding pitch pulse train through
// three formant resonators) or hiss, with attack and decay, at varying levels up to `peak`,
// separated by short near-silent pauses. Deterministic for a seed.
std::vector<std::int16_t> SpeechLike(std::size_t count, std::uint32_t seed, double rate = 16000.0,
                                     double peak = 20000.0);

// The signal kinds the encoders are checked and measured on.
enum class SignalKind { kSpeech, kSine, kNoise, kSquare, kLowLevel, kSilence };
inline constexpr SignalKind kAllSignalKinds[] = {SignalKind::kSpeech, SignalKind::kSine,     SignalKind::kNoise,
                                                 SignalKind::kSquare, SignalKind::kLowLevel, SignalKind::kSilence};
std::string SignalName(SignalKind kind);

// `count` samples of the kind at 16000 Hz; the seed varies frequency, level and noise.
// Square is full scale; low-level stays within +-300; silence is digital zero with a rare
// +-2 tick.
std::vector<std::int16_t> MakeSignal(SignalKind kind, std::size_t count, std::uint32_t seed);

}  // namespace velkin::test
