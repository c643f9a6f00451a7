// Generated test signals for the ADPCM encoder, shared by its tests and its benchmark.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velkin::adpcm4::test {

// Speech-like sound at `rate`: syllables of voiced sound (a gliding pitch pulse train through
// three formant resonators) or hiss, with attack and decay, at varying levels up to `peak`,
// separated by short near-silent pauses. Deterministic for a seed.
std::vector<std::int16_t> SpeechLike(std::size_t count, std::uint32_t seed, double rate = 16000.0,
                                     double peak = 20000.0);

// The signal kinds the encoder is checked and measured on.
enum class SignalKind { kSpeech, kSine, kNoise, kSquare, kLowLevel, kSilence };
inline constexpr SignalKind kAllSignalKinds[] = {SignalKind::kSpeech, SignalKind::kSine,     SignalKind::kNoise,
                                                 SignalKind::kSquare, SignalKind::kLowLevel, SignalKind::kSilence};
std::string SignalName(SignalKind kind);

// `count` samples of the kind at 16000 Hz; the seed varies frequency, level and noise.
// Square is full scale; low-level stays within +-300; silence is digital zero with a rare
// +-2 tick.
std::vector<std::int16_t> MakeSignal(SignalKind kind, std::size_t count, std::uint32_t seed);

}  // namespace velkin::adpcm4::test
