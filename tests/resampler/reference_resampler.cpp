#include "reference_resampler.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "resampler/filter_tables.h"

namespace velkin::test {

using namespace velkin::sondrel;

namespace {
constexpr int kBlock = 4096 + 256;
constexpr int kSlack = 4096;  // beyond the real block: room for any accepted factor
}  // namespace

ReferenceConstants ReferenceResampler::Constants(double factor, bool large, bool linear, double gainScale) {
  ReferenceConstants c{};
  const int T = large ? 65 : 13;
  c.B = static_cast<std::int32_t>(factor * 4096);
  c.G = static_cast<std::int32_t>((large ? 14746 : 13128) * gainScale);
  if (factor < 1) c.G = static_cast<std::int32_t>(c.G * factor + 0.5);
  c.R = linear ? 10 : static_cast<std::int32_t>((T + 1) * 0.5 * std::max(1.0, 1 / factor) + 10);
  c.K = c.B - static_cast<std::int32_t>((linear ? 20 : 2 * c.R) * factor);
  c.D = static_cast<std::uint32_t>((1 / factor) * 32768 + 0.5);
  c.H = static_cast<std::uint32_t>(std::min(256.0, factor * 256) * 128 + 0.5);
  return c;
}

void ReferenceResampler::configure(double factor, int channels, double gainScale) {
  factor_ = factor;
  channels_ = channels;
  gainScale_ = gainScale;
  firstRun_ = true;
  inputBlocks_.assign(static_cast<std::size_t>(channels), std::vector<std::int16_t>(kBlock + kSlack, 0));
  outputBlocks_.assign(static_cast<std::size_t>(channels),
                       std::vector<std::int16_t>(static_cast<std::size_t>(factor * 4096), 0));
}

std::int32_t ReferenceResampler::wingSum(const std::int16_t* x, std::uint32_t phase, int s) const {
  const std::int16_t* table = large_ ? kLargeFilter : kSmallFilter;
  const std::int16_t* delta = large_ ? kLargeFilterDelta : kSmallFilterDelta;
  const std::uint32_t N = large_ ? kLargeFilterLength : kSmallFilterLength;
  std::uint32_t h = phase >> 7;
  const std::int32_t a = static_cast<std::int32_t>(phase & 0x7F);
  std::uint32_t end = N;
  if (s == 1) {
    end = N - 1;
    if (phase == 0) h += 256;
  }
  std::int32_t sum = 0;
  while (h < end) {
    std::int32_t k = table[h];
    if (interpolate_) k += (delta[h] * a) >> 7;
    std::int32_t t = k * *x;
    t = (t + 8192) >> 14;
    sum += t;
    h += 256;
    x += s;
  }
  return sum;
}

std::int32_t ReferenceResampler::wingSumScaled(const std::int16_t* x, std::uint32_t phase, int s,
                                               std::uint32_t H) const {
  const std::int16_t* table = large_ ? kLargeFilter : kSmallFilter;
  const std::int16_t* delta = large_ ? kLargeFilterDelta : kSmallFilterDelta;
  const std::uint32_t N = large_ ? kLargeFilterLength : kSmallFilterLength;
  std::uint32_t p = (phase * H) >> 15;
  std::uint32_t end = N;
  if (s == 1) {
    end = N - 1;
    if (phase == 0) p += H;
  }
  std::int32_t sum = 0;
  while ((p >> 7) < end) {
    std::int32_t k = table[p >> 7];
    if (interpolate_) k += (delta[p >> 7] * static_cast<std::int32_t>(p & 0x7F)) >> 7;
    std::int32_t t = k * *x;
    t = (t + 8192) >> 14;
    sum += t;
    p += H;
    x += s;
  }
  return sum;
}

std::int32_t ReferenceResampler::readInput(std::int32_t W, std::int32_t inCount, const std::int16_t* input) {
  const std::int32_t n = std::min(4096 - W, inCount - counter_);
  for (int c = 0; c < channels_; ++c) {
    for (std::int32_t j = 0; j < n; ++j) {
      inputBlocks_[c][static_cast<std::size_t>(W + j)] =
          input[static_cast<std::size_t>(c) * static_cast<std::size_t>(inCount) +
                static_cast<std::size_t>(counter_ + j)];
    }
  }
  counter_ += n;
  return counter_ < inCount ? 0 : W + n - 1;
}

ReferenceResampler::RunState ReferenceResampler::startRun(const ReferenceConstants& c) {
  RunState s;
  s.P = 4096 - 2 * c.R;
  if (firstRun_) timeRegister_ = static_cast<std::uint32_t>(c.R) * 32768;
  s.W = c.R;
  counter_ = 0;
  passes_.clear();
  return s;
}

bool ReferenceResampler::fillInput(RunState& s, std::int32_t inCount, const std::int16_t* input,
                                   const ReferenceConstants& c) {
  if (s.E == 0) {
    s.E = readInput(s.W, inCount, input);
    if (s.E != 0 && s.E - c.R < s.P) {
      s.P = s.E - c.R;
      if ((s.P & 0xFFFF) == 0) return false;
    }
  }
  return true;
}

std::int32_t ReferenceResampler::passLength(const RunState& s, std::int32_t outCount,
                                            const ReferenceConstants& c) const {
  const double reach = (linear_ ? 20 : 2 * c.R) * factor_;
  return c.B - reach < outCount - s.Y ? c.B - static_cast<std::int32_t>(reach) : outCount - s.Y;
}

std::int16_t ReferenceResampler::outputSample(const std::int16_t* X, std::uint32_t t,
                                              const ReferenceConstants& c) const {
  const std::uint32_t i = t >> 15;
  const std::uint32_t phase = t & 0x7FFF;
  std::int32_t y;
  if (linear_) {
    y = (X[i] * static_cast<std::int32_t>(32768 - phase) + X[i + 1] * static_cast<std::int32_t>(phase) + 16384) >> 15;
  } else {
    std::int32_t v;
    if (factor_ >= 1) {
      v = wingSum(X + i, phase, -1) + wingSum(X + i + 1, (0u - t) & 0x7FFF, 1);
    } else {
      v = wingSumScaled(X + i, phase, -1, c.H) + wingSumScaled(X + i + 1, (0u - t) & 0x7FFF, 1, c.H);
    }
    y = ((v >> 2) * c.G + 4096) >> 13;
  }
  return static_cast<std::int16_t>(std::clamp(y, -32768, 32767));
}

std::uint16_t ReferenceResampler::filterChannels(std::int32_t K, const ReferenceConstants& c) {
  std::uint32_t last = 0;
  std::uint16_t A = 0;
  for (int ch = 0; ch < channels_; ++ch) {
    std::uint32_t t = timeRegister_;
    const std::uint32_t start = t;
    for (std::int32_t k = 0; k < K; ++k) {
      outputBlocks_[ch][static_cast<std::size_t>(k)] = outputSample(inputBlocks_[ch].data(), t, c);
      t += c.D;
    }
    A = static_cast<std::uint16_t>((t >> 15) - (start >> 15));
    last = t;
  }
  timeRegister_ = last - static_cast<std::uint32_t>(A) * 32768;
  return A;
}

void ReferenceResampler::countDownEnd(RunState& s, std::uint16_t A, const ReferenceConstants& c) {
  if (s.E != 0) {
    s.E = s.E - ((A + c.R) % 65536);
    if (s.E == 0) s.E = 1;
  }
}

std::int32_t ReferenceResampler::takeOutput(RunState& s, std::int32_t K, std::int32_t outCount) {
  s.Y += K;
  if (s.Y > outCount) {
    K -= s.Y - outCount;
    s.Y = outCount;
  }
  return K;
}

void ReferenceResampler::copyOutput(const RunState& s, std::int32_t K, std::int32_t outCount, std::int16_t* output) {
  passes_.push_back(K);
  for (int ch = 0; ch < channels_; ++ch) {
    for (std::int32_t k = 0; k < K; ++k) {
      output[static_cast<std::size_t>(ch) * static_cast<std::size_t>(outCount) +
             static_cast<std::size_t>(s.Y - K + k)] = outputBlocks_[ch][static_cast<std::size_t>(k)];
    }
  }
}

void ReferenceResampler::shiftInput(RunState& s, std::uint16_t A, const ReferenceConstants& c) {
  const std::int32_t keep = linear_ ? 4096 : 4096 + c.R;
  for (int ch = 0; ch < channels_; ++ch) {
    for (std::int32_t j = 0; j < keep - A; ++j) inputBlocks_[ch][j] = inputBlocks_[ch][j + A];
  }
  s.W = 4096 - A;
  s.moved += A;
}

std::int32_t ReferenceResampler::finishRun(const RunState& s, std::int32_t& inCount) {
  inCount = s.moved;
  firstRun_ = false;
  return s.Y;
}

std::int32_t ReferenceResampler::run(std::int32_t& inCount, std::int32_t outCount, const std::int16_t* input,
                                     std::int16_t* output) {
  const ReferenceConstants c = Constants(factor_, large_, linear_, gainScale_);
  if (2 * c.R > 4096) {
    std::printf("resample: %s \n\n", "IBUFFSIZE (or factor) is too small");
    return -1;
  }
  RunState s = startRun(c);
  do {
    if (!fillInput(s, inCount, input, c)) break;
    std::int32_t K = passLength(s, outCount, c);
    const std::uint16_t A = filterChannels(K, c);
    countDownEnd(s, A, c);
    K = takeOutput(s, K, outCount);
    if (K > c.B) {
      std::printf("resample: %s \n\n", "Output array overflow");
      return -1;
    }
    copyOutput(s, K, outCount, output);
    shiftInput(s, A, c);
  } while (s.Y < outCount);
  return finishRun(s, inCount);
}

}  // namespace velkin::test
