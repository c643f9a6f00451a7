#include "test_signals.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

namespace velkin::test {

namespace {

// Small deterministic generator (xorshift32), independent of the standard library's engines.
class Random {
 public:
  explicit Random(std::uint32_t seed) : state_(seed ? seed : 0x9E3779B9u) {}
  std::uint32_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
  }
  double Uniform(double lo, double hi) { return lo + (hi - lo) * (Next() / 4294967296.0); }

 private:
  std::uint32_t state_;
};

// Two-pole resonator at `frequency` with bandwidth `width`, unity gain at its peak (roughly).
class Resonator {
 public:
  Resonator(double frequency, double width, double rate) {
    const double r = std::exp(-std::numbers::pi * width / rate);
    a1_ = 2.0 * r * std::cos(2.0 * std::numbers::pi * frequency / rate);
    a2_ = -r * r;
    gain_ = 1.0 - r;
  }
  double Step(double in) {
    const double out = gain_ * in + a1_ * y1_ + a2_ * y2_;
    y2_ = y1_;
    y1_ = out;
    return out;
  }

 private:
  double a1_ = 0, a2_ = 0, gain_ = 1, y1_ = 0, y2_ = 0;
};

std::int16_t Clip(double v) {
  return static_cast<std::int16_t>(std::clamp(std::lround(v), -32768L, 32767L));
}

}  // namespace

std::vector<std::int16_t> Sine(std::size_t count, double frequency, double rate, double amplitude) {
  std::vector<std::int16_t> s(count);
  for (std::size_t i = 0; i < count; ++i) {
    s[i] = static_cast<std::int16_t>(
        std::lround(amplitude * std::sin(2.0 * std::numbers::pi * frequency * static_cast<double>(i) / rate)));
  }
  return s;
}

std::vector<std::int16_t> Noise(std::size_t count, std::uint32_t seed, int amplitude) {
  std::vector<std::int16_t> s(count);
  std::uint32_t x = seed ? seed : 1;
  for (auto& v : s) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    v = static_cast<std::int16_t>(static_cast<int>(x % static_cast<std::uint32_t>(2 * amplitude + 1)) - amplitude);
  }
  return s;
}

std::vector<std::int16_t> Square(std::size_t count, std::size_t period, std::int16_t amplitude) {
  std::vector<std::int16_t> s(count);
  for (std::size_t i = 0; i < count; ++i) {
    s[i] = (i % period) < period / 2 ? amplitude : static_cast<std::int16_t>(-amplitude);
  }
  return s;
}

std::vector<std::int16_t> MusicLike(std::size_t count, double rate) {
  std::vector<std::int16_t> s(count);
  std::uint32_t noise = 12345;
  for (std::size_t i = 0; i < count; ++i) {
    const double t = static_cast<double>(i) / rate;
    const double f = 220.0 * (1.0 + 0.01 * std::sin(2 * std::numbers::pi * 5 * t));
    double v = 0;
    for (int h = 1; h <= 6; ++h) v += std::sin(2 * std::numbers::pi * f * h * t) / h;
    noise = noise * 1664525u + 1013904223u;
    v = 9000 * v + static_cast<double>(static_cast<std::int32_t>(noise >> 16) - 32768) / 16;
    s[i] = Clip(v);
  }
  return s;
}

std::vector<std::int16_t> ChordWithPauses(std::size_t count) {
  constexpr double kRate = 16000.0;
  std::vector<std::int16_t> s(count);
  std::mt19937 noise(1);
  std::uniform_int_distribution<int> jitter(-40, 40);
  for (std::size_t i = 0; i < count; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double second = std::fmod(t, 4.0);
    double level = second < 2.5 ? 12000.0 : (second < 3.5 ? 1500.0 : 0.0);
    level *= 0.6 + 0.4 * std::sin(2 * std::numbers::pi * 0.25 * t);
    const double chord = std::sin(2 * std::numbers::pi * 220.0 * t) + 0.5 * std::sin(2 * std::numbers::pi * 277.2 * t) +
                         0.3 * std::sin(2 * std::numbers::pi * 329.6 * t);
    s[i] = Clip(level * chord / 1.8 + (level > 0 ? jitter(noise) : 0));
  }
  return s;
}

std::vector<std::int16_t> SpeechLike(std::size_t count, std::uint32_t seed, double rate, double peak) {
  Random random(seed);
  std::vector<double> out;
  out.reserve(count);
  while (out.size() < count) {
    // Pause: faint room noise.
    const auto pause = static_cast<std::size_t>(random.Uniform(0.04, 0.2) * rate);
    for (std::size_t i = 0; i < pause && out.size() < count; ++i) out.push_back(random.Uniform(-12, 12));

    // Syllable.
    const auto length = static_cast<std::size_t>(random.Uniform(0.12, 0.35) * rate);
    const double level = peak * random.Uniform(0.15, 1.0);
    const bool voiced = random.Uniform(0, 1) < 0.8;
    const double hiss_level = 0.2;  // fricatives are much weaker than vowels
    Resonator f1(random.Uniform(300, 800), 90, rate);
    Resonator f2(random.Uniform(900, 2300), 120, rate);
    Resonator f3(random.Uniform(2500, 3200), 160, rate);
    Resonator hiss(random.Uniform(3500, 5500), 1500, rate);
    const double pitch_start = random.Uniform(90, 220);
    const double pitch_end = pitch_start * random.Uniform(0.8, 1.25);
    // Glottal source: a pulse train smoothed by two one-pole low-passes (about -12 dB per octave
    // above the pitch), then lip radiation (+6 dB per octave): speech falls off at -6 dB per
    // octave, so most of its energy lies below 1 kHz.
    const double smooth = std::exp(-2.0 * std::numbers::pi * 150.0 / rate);
    double g1 = 0, g2 = 0, previous = 0;
    double phase = 0;
    std::vector<double> raw(length);
    double loudest = 1e-9;
    for (std::size_t i = 0; i < length; ++i) {
      double v;
      if (voiced) {
        const double pitch = pitch_start + (pitch_end - pitch_start) * static_cast<double>(i) / length;
        phase += pitch / rate;
        double pulse = 0;
        if (phase >= 1.0) {
          phase -= 1.0;
          pulse = 1.0;
        }
        g1 = smooth * g1 + (1 - smooth) * (pulse + 0.01 * random.Uniform(-1, 1));
        g2 = smooth * g2 + (1 - smooth) * g1;
        const double excitation = g2 - previous;
        previous = g2;
        v = f1.Step(excitation) + 0.5 * f2.Step(excitation) + 0.25 * f3.Step(excitation);
      } else {
        v = hiss.Step(random.Uniform(-1, 1));
      }
      raw[i] = v;
      loudest = std::max(loudest, std::fabs(v));
    }
    for (std::size_t i = 0; i < length && out.size() < count; ++i) {
      // Raised-cosine attack and decay over a fifth of the syllable each.
      const double t = static_cast<double>(i) / length;
      const double edge = std::min({1.0, t / 0.2, (1.0 - t) / 0.2});
      const double envelope = 0.5 - 0.5 * std::cos(std::numbers::pi * edge);
      out.push_back(raw[i] / loudest * level * (voiced ? 1.0 : hiss_level) * envelope);
    }
  }
  std::vector<std::int16_t> samples(count);
  std::transform(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(count), samples.begin(), Clip);
  return samples;
}

std::string SignalName(SignalKind kind) {
  switch (kind) {
    case SignalKind::kSpeech:
      return "speech";
    case SignalKind::kSine:
      return "sine";
    case SignalKind::kNoise:
      return "noise";
    case SignalKind::kSquare:
      return "square";
    case SignalKind::kLowLevel:
      return "low-level";
    case SignalKind::kSilence:
      return "silence";
  }
  return "?";
}

std::vector<std::int16_t> MakeSignal(SignalKind kind, std::size_t count, std::uint32_t seed) {
  Random random(seed * 2654435761u + 1);
  std::vector<std::int16_t> s(count);
  switch (kind) {
    case SignalKind::kSpeech:
      return SpeechLike(count, seed);
    case SignalKind::kSine: {
      const double frequency = random.Uniform(50, 6000);
      const double amplitude = random.Uniform(100, 32767);
      for (std::size_t i = 0; i < count; ++i) {
        s[i] = Clip(amplitude * std::sin(2 * std::numbers::pi * frequency * static_cast<double>(i) / 16000.0));
      }
      break;
    }
    case SignalKind::kNoise: {
      const double amplitude = random.Uniform(50, 32767);
      for (auto& v : s) v = Clip(random.Uniform(-amplitude, amplitude));
      break;
    }
    case SignalKind::kSquare: {
      const auto period = static_cast<std::size_t>(random.Uniform(4, 200));
      for (std::size_t i = 0; i < count; ++i) s[i] = (i % period) < period / 2 ? 32767 : -32768;
      break;
    }
    case SignalKind::kLowLevel: {
      const double frequency = random.Uniform(50, 2000);
      for (std::size_t i = 0; i < count; ++i) {
        s[i] = Clip(200 * std::sin(2 * std::numbers::pi * frequency * static_cast<double>(i) / 16000.0) +
                    random.Uniform(-100, 100));
      }
      break;
    }
    case SignalKind::kSilence:
      for (auto& v : s) v = random.Next() % 997 == 0 ? static_cast<std::int16_t>(random.Next() % 5) - 2 : 0;
      break;
  }
  return s;
}

}  // namespace velkin::test
