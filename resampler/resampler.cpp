#include "resampler.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include "filter_tables.h"

namespace velkin::sondrel {

namespace {

// THE PROCESS-WIDE INPUT COUNTER: input samples per channel already copied into the input blocks
// during the current run. It is not a field of the object, so two runs must never overlap on one
// thread (the converter's contract: one file at a time). Every read and reset of it goes through
// here. It is kept per thread: a run never leaves its thread and every run resets the counter at
// its first read, so one thread sees exactly the one value the contract describes, while runs on
// different threads (sounds prepared on every core at once) no longer overwrite each other's count.
std::int32_t& ProcessWideInputCounter() {
  thread_local std::int32_t counter = 0;
  return counter;
}

constexpr std::int32_t kLargeTaps = 65;
constexpr std::int32_t kSmallTaps = 13;
constexpr double kLargeUnityGain = 14746.0;
constexpr double kSmallUnityGain = 13128.0;
constexpr std::uint32_t kOnePeriod = 32768;  // one input sample period at 15 fraction bits
// The filter reads up to block index IBUFFSIZE - 1 + R when it moves a block down, so R may not
// exceed the 256-sample tail.
constexpr std::int32_t kMaxReach = kInputBlockLength - IBUFFSIZE;
// Beyond this the output block (trunc(factor * 4096) samples) is not worth allocating: no pass of
// such a factor stays inside the input block anyway.
constexpr double kMaxFactor = 4096.0;

void Report(const char* text) {
  std::printf("resample: %s \n\n", text);
  std::fflush(stdout);
}

std::int16_t Clamp16(std::int64_t v) {
  return static_cast<std::int16_t>(std::clamp<std::int64_t>(v, -32768, 32767));
}

// Applies the unity-gain constant to a filter sum: ((v >> 2) * G + 4096) >> 13. Worked out in 64
// bits so that a gain scale above 1 clamps instead of wrapping; for the configured gains the
// 32-bit value never overflows and the result is the same.
std::int16_t ApplyGain(std::int32_t v, std::int32_t gain) {
  const std::int64_t t = static_cast<std::int64_t>(v >> 2) * gain;
  return Clamp16((t + 4096) >> 13);
}

}  // namespace

C_Resampler::C_Resampler(bool useLarge, bool linear, bool interpolate, cpu::Level level)
    : interpolateCoefficients(interpolate ? 1 : 0),
      useLargeFilter(useLarge ? 1 : 0),
      linearMode(linear ? 1 : 0),
      bank_(level) {}

C_Resampler::~C_Resampler() = default;

void C_Resampler::freeBlocks() {
  inputBlocks.clear();
  outputBlocks.clear();
  reversedBlocks_.clear();
  bank_.Release();
}

PassPlan C_Resampler::planFor(double factor, bool useLarge, bool linear, double gainScale) {
  PassPlan p;
  if (!(factor > 0.0 && factor <= kMaxFactor) || !std::isfinite(gainScale)) return p;
  p.outputBlockLength = static_cast<std::int32_t>(factor * IBUFFSIZE);

  double gain = std::trunc((useLarge ? kLargeUnityGain : kSmallUnityGain) * gainScale);
  if (factor < 1.0) gain = std::trunc(gain * factor + 0.5);
  if (std::fabs(gain) > std::numeric_limits<std::int32_t>::max()) return p;
  p.unityGain = static_cast<std::int32_t>(gain);

  const double step = (1.0 / factor) * 32768.0 + 0.5;
  p.timeStep = step < 4294967296.0 ? static_cast<std::uint32_t>(step) : std::numeric_limits<std::uint32_t>::max();
  p.tableStep = static_cast<std::uint32_t>(std::min(256.0, factor * 256.0) * 128.0 + 0.5);

  const double taps = useLarge ? kLargeTaps : kSmallTaps;
  const double reach = linear ? 10.0 : (taps + 1.0) * 0.5 * std::max(1.0, 1.0 / factor) + 10.0;
  if (reach >= kMaxReach + 1) {
    p.filterReach = reach < std::numeric_limits<std::int32_t>::max() ? static_cast<std::int32_t>(reach)
                                                                     : std::numeric_limits<std::int32_t>::max();
    return p;
  }
  p.filterReach = static_cast<std::int32_t>(reach);
  const std::int32_t R = p.filterReach;
  const double edge = (linear ? 20.0 : 2.0 * R) * factor;
  p.passCount = p.outputBlockLength - static_cast<std::int32_t>(edge);

  // A full pass must produce something and, with the phase it starts at, end inside the input
  // block: otherwise the read position after it would fall before the block.
  const std::uint64_t end = static_cast<std::uint64_t>(R) * kOnePeriod + (kOnePeriod - 1) +
                            static_cast<std::uint64_t>(std::max(p.passCount, 0)) * p.timeStep;
  p.fits = p.passCount >= 1 && (end >> 15) <= static_cast<std::uint64_t>(IBUFFSIZE);
  return p;
}

PassPlan C_Resampler::plan() const {
  return planFor(factor, useLargeFilter != 0, linearMode != 0, gainScale);
}

bool C_Resampler::configure(double newFactor, std::int32_t channels, double newGainScale) {
  freeBlocks();
  factor = 0.0;
  channelCount = 0;
  if (!(newFactor > 0.0 && newFactor <= kMaxFactor) || channels < 1 || !std::isfinite(newGainScale) ||
      std::fabs(std::trunc(kLargeUnityGain * newGainScale)) > std::numeric_limits<std::int32_t>::max()) {
    return false;
  }
  factor = newFactor;
  channelCount = channels;
  gainScale = newGainScale;
  firstRun = 1;
  const auto outputLength = static_cast<std::size_t>(std::max(1, static_cast<std::int32_t>(factor * IBUFFSIZE)));
  try {
    inputBlocks.resize(static_cast<std::size_t>(channels));
    outputBlocks.resize(static_cast<std::size_t>(channels));
    if (!linearMode) reversedBlocks_.resize(static_cast<std::size_t>(channels));
  } catch (const std::bad_alloc&) {
    freeBlocks();
    return false;
  }
  for (std::int32_t c = 0; c < channels; ++c) {
    inputBlocks[c].reset(new (std::nothrow) std::int16_t[kInputBlockLength]());
    outputBlocks[c].reset(new (std::nothrow) std::int16_t[outputLength]);
    if (!linearMode) reversedBlocks_[c].reset(new (std::nothrow) std::int16_t[kInputBlockLength]);
    if (!inputBlocks[c] || !outputBlocks[c] || (!linearMode && !reversedBlocks_[c])) {
      freeBlocks();
      return false;
    }
  }
  // The coefficient rows are only needed by a configuration that can run.
  if (const PassPlan p = plan(); !linearMode && p.fits) {
    const bool large = useLargeFilter != 0;
    if (!bank_.Prepare(large ? kLargeFilter : kSmallFilter, large ? kLargeFilterDelta : kSmallFilterDelta,
                       large ? kLargeFilterLength : kSmallFilterLength, p.tableStep, interpolateCoefficients != 0)) {
      freeBlocks();
      return false;
    }
  }
  return true;
}

std::int32_t C_Resampler::readInput(std::int32_t position, std::int32_t inCount, const std::int16_t* input) {
  std::int32_t& counter = ProcessWideInputCounter();
  const std::int32_t n = std::min(IBUFFSIZE - position, inCount - counter);
  for (std::int32_t c = 0; c < channelCount; ++c) {
    const std::int16_t* from =
        input + static_cast<std::size_t>(c) * static_cast<std::size_t>(inCount) + static_cast<std::size_t>(counter);
    std::copy_n(from, n, inputBlocks[c].get() + position);
  }
  counter += n;
  return counter < inCount ? 0 : position + n - 1;
}

namespace {

constexpr std::int32_t kPrefetchDistance = 8;
constexpr std::uint32_t kFewPhases = 64;

// How many phases (positions within an input period) the output samples of step D fall on.
std::uint32_t PhaseCount(std::uint32_t step) {
  const std::uint32_t fraction = step & 0x7FFF;
  return fraction == 0 ? 1 : 0x8000u >> std::countr_zero(fraction);
}

// The block in reverse order: reversed[kInputBlockLength - 1 - i] is block[i], so the older wing
// of the sample at block index i starts at reversed + kInputBlockLength - 1 - i and walks forward.
const std::int16_t* Reverse(const std::int16_t* block, std::int16_t* reversed) {
  std::reverse_copy(block, block + kInputBlockLength, reversed);
  return reversed + kInputBlockLength - 1;
}

}  // namespace

std::uint16_t C_Resampler::filterPass(const std::int16_t* block, std::int16_t* reversed, std::int16_t* out,
                                      std::int32_t count, std::uint32_t& position, const PassPlan& plan) {
  const std::int16_t* older = Reverse(block, reversed);
  const std::uint32_t start = position;
  // Where the output samples fall on many phases, their rows are spread over megabytes and are
  // made ready a few samples ahead; where a few phases repeat (48 or 32 kHz to 16 kHz: one), their
  // rows stay in the first-level cache and looking ahead would only cost.
  const std::int32_t ahead = PhaseCount(plan.timeStep) > kFewPhases ? kPrefetchDistance : 0;
  for (std::int32_t k = 0; k < ahead && k < count; ++k) bank_.Prefetch(position + k * plan.timeStep);
  for (std::int32_t k = 0; k < count; ++k) {
    if (k + ahead < count && ahead != 0) bank_.Prefetch(position + kPrefetchDistance * plan.timeStep);
    const std::uint32_t i = position >> 15;
    const std::uint32_t phase = position & 0x7FFF;
    const std::uint32_t mirrored = (0u - position) & 0x7FFF;
    // wingSum (factor >= 1) or wingSumScaled (factor < 1) of the older wing plus that of the newer
    // one, in one walk over both rows; the bank walks the table at the step of this plan.
    const std::int32_t v = bank_.Sum(older - i, phase, block + i + 1, mirrored);
    out[k] = ApplyGain(v, plan.unityGain);
    position += plan.timeStep;
  }
  return static_cast<std::uint16_t>((position >> 15) - (start >> 15));
}

std::uint16_t C_Resampler::upPass(const std::int16_t* block, std::int16_t* reversed, std::int16_t* out,
                                  std::int32_t count, std::uint32_t& position, const PassPlan& plan) {
  return filterPass(block, reversed, out, count, position, plan);
}

std::uint16_t C_Resampler::downPass(const std::int16_t* block, std::int16_t* reversed, std::int16_t* out,
                                    std::int32_t count, std::uint32_t& position, const PassPlan& plan) {
  return filterPass(block, reversed, out, count, position, plan);
}

std::uint16_t C_Resampler::linearPass(const std::int16_t* block, std::int16_t* out, std::int32_t count,
                                      std::uint32_t& position, const PassPlan& plan) {
  const std::uint32_t start = position;
  for (std::int32_t k = 0; k < count; ++k) {
    const std::uint32_t i = position >> 15;
    const std::int32_t phase = static_cast<std::int32_t>(position & 0x7FFF);
    const std::int32_t v = block[i] * (32768 - phase) + block[i + 1] * phase;
    out[k] = Clamp16((v + 16384) >> 15);
    position += plan.timeStep;
  }
  return static_cast<std::uint16_t>((position >> 15) - (start >> 15));
}

// Start: the stop bound, the time register of a first run, the read position and the counters,
// the process-wide input counter included.
C_Resampler::RunState C_Resampler::startRun(const PassPlan& plan) {
  const std::int32_t R = plan.filterReach;
  RunState s;
  s.lastUseful = IBUFFSIZE - 2 * R;
  if (firstRun) timeRegister = static_cast<std::uint32_t>(R) * kOnePeriod;
  s.writeAt = R;
  ProcessWideInputCounter() = 0;
  return s;
}

// Reads input into the blocks until the input has ended, then only narrows the stop bound.
// False when nothing is left for a pass: the run stops there.
bool C_Resampler::fillInput(RunState& s, std::int32_t inCount, const std::int16_t* input, const PassPlan& plan) {
  if (s.end != 0) return true;
  const std::int32_t R = plan.filterReach;
  s.end = readInput(s.writeAt, inCount, input);
  if (s.end != 0 && s.end - R < s.lastUseful) {
    s.lastUseful = s.end - R;
    if ((s.lastUseful & 0xFFFF) == 0) return false;
  }
  return true;
}

// A full pass, or what is still wanted when that is less.
std::int32_t C_Resampler::passLength(const RunState& s, std::int32_t outCount, const PassPlan& plan) const {
  const double edge = (linearMode != 0 ? 20.0 : 2.0 * plan.filterReach) * factor;
  const std::int32_t wanted = outCount - s.produced;
  return plan.outputBlockLength - edge < static_cast<double>(wanted)
             ? plan.outputBlockLength - static_cast<std::int32_t>(edge)
             : wanted;
}

// Every channel from the same time register into its output block; the register keeps only the
// phase reached, its integer part is R again. Returns the advance A.
std::uint16_t C_Resampler::filterChannels(std::int32_t count, const PassPlan& plan) {
  std::uint32_t reached = timeRegister;
  std::uint16_t advance = 0;
  for (std::int32_t c = 0; c < channelCount; ++c) {
    std::uint32_t position = timeRegister;
    const std::int16_t* block = inputBlocks[c].get();
    std::int16_t* out = outputBlocks[c].get();
    if (linearMode != 0) {
      advance = linearPass(block, out, count, position, plan);
    } else if (factor >= 1.0) {
      advance = upPass(block, reversedBlocks_[c].get(), out, count, position, plan);
    } else {
      advance = downPass(block, reversedBlocks_[c].get(), out, count, position, plan);
    }
    reached = position;
  }
  timeRegister = reached - static_cast<std::uint32_t>(advance) * kOnePeriod;
  return advance;
}

// Once the input has ended, the end marker moves down with the blocks.
void C_Resampler::countDownEnd(RunState& s, std::uint16_t advance, const PassPlan& plan) {
  if (s.end == 0) return;
  s.end -= (advance + plan.filterReach) % 65536;
  if (s.end == 0) s.end = 1;  // only "not zero" matters from here on
}

// Counts the pass into the output, cut to what was asked for. Returns the samples of this pass
// that go out.
std::int32_t C_Resampler::takeOutput(RunState& s, std::int32_t count, std::int32_t outCount) {
  s.produced += count;
  if (s.produced > outCount) {
    count -= s.produced - outCount;
    s.produced = outCount;
  }
  return count;
}

// The pass of every channel to its place in the caller's output.
void C_Resampler::copyOutput(const RunState& s, std::int32_t count, std::int32_t outCount, std::int16_t* output) const {
  for (std::int32_t c = 0; c < channelCount; ++c) {
    std::copy_n(outputBlocks[c].get(), count,
                output + static_cast<std::size_t>(c) * static_cast<std::size_t>(outCount) +
                    static_cast<std::size_t>(s.produced - count));
  }
}

// Every input block moves down by the advance (the filter also keeps the tail it reaches into),
// and the next read fills in behind what was kept.
void C_Resampler::shiftInput(RunState& s, std::uint16_t advance, const PassPlan& plan) {
  const std::int32_t kept = linearMode != 0 ? IBUFFSIZE : IBUFFSIZE + plan.filterReach;
  for (std::int32_t c = 0; c < channelCount; ++c) {
    std::int16_t* block = inputBlocks[c].get();
    if (advance < kept) std::memmove(block, block + advance, static_cast<std::size_t>(kept - advance) * sizeof *block);
  }
  s.writeAt = IBUFFSIZE - advance;
  s.moved += advance;
}

// End of a run (also one stopped by an overflow): how far the input was moved past; a later run
// continues from the time register.
std::int32_t C_Resampler::finishRun(const RunState& s, std::int32_t& inCount) {
  inCount = static_cast<std::int32_t>(std::min<std::int64_t>(s.moved, std::numeric_limits<std::int32_t>::max()));
  firstRun = 0;
  return s.produced;
}

std::int32_t C_Resampler::run(std::int32_t& inCount, std::int32_t outCount, const std::int16_t* input,
                              std::int16_t* output) {
  if (inputBlocks.empty() || inCount < 0 || outCount < 0 || (inCount > 0 && !input) || (outCount > 0 && !output)) {
    return -1;
  }
  const PassPlan plan = this->plan();
  if (!plan.fits) {
    Report("IBUFFSIZE (or factor) is too small");
    return -1;
  }
  RunState s = startRun(plan);
  do {
    if (!fillInput(s, inCount, input, plan)) break;
    std::int32_t count = passLength(s, outCount, plan);
    const std::uint16_t advance = filterChannels(count, plan);
    countDownEnd(s, advance, plan);
    count = takeOutput(s, count, outCount);
    if (count > plan.outputBlockLength) {
      Report("Output array overflow");
      finishRun(s, inCount);
      return -1;
    }
    copyOutput(s, count, outCount, output);
    shiftInput(s, advance, plan);
  } while (s.produced < outCount);
  return finishRun(s, inCount);
}

}  // namespace velkin::sondrel
