// Sample-rate conversion of 16-bit signed samples by a real factor (output rate / input rate) with
// fixed-point bandlimited interpolation: each output sample is a sum of input samples weighted by a
// windowed sinc, stored one wing at a time in 16-bit tables of 256 entries per sample period and
// interpolated between entries. When the rate is lowered the response is stretched by the factor
// and its gain scaled down by it. The arithmetic is fixed to the bit.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "cpu/vector_level.h"
#include "filter_bank.h"

namespace velkin::sondrel {

// Input samples per channel that one pass can bring in; each input block has 256 more, the tail
// that the filter reaches beyond them.
inline constexpr std::int32_t IBUFFSIZE = 4096;
inline constexpr std::int32_t kInputBlockLength = IBUFFSIZE + 256;

// What a run works with, worked out once from the configuration.
struct PassPlan {
  std::int32_t filterReach = 0;        // R: input samples the filter needs on either side
  std::int32_t outputBlockLength = 0;  // B: output samples one block holds
  std::int32_t passCount = 0;          // K of a full pass
  std::int32_t unityGain = 0;          // G (filter path only)
  std::uint32_t timeStep = 0;          // D: output sample period in input periods, 15 fraction bits
  std::uint32_t tableStep = 0;         // H: table positions (7 fraction bits) per input sample
  bool fits = false;                   // false: refused with "IBUFFSIZE (or factor) is too small"
};

class C_Resampler {
 public:
  // `level`: how wide the filter's sums may go (the default, or one a test forces).
  C_Resampler(bool useLargeFilter, bool linearMode, bool interpolateCoefficients,
              cpu::Level level = cpu::DefaultLevel());
  ~C_Resampler();
  C_Resampler(const C_Resampler&) = delete;
  C_Resampler& operator=(const C_Resampler&) = delete;

  // Frees earlier blocks, keeps the three values and allocates per channel a cleared input block
  // and an output block of trunc(factor * 4096) samples. False, with nothing allocated, for a
  // factor that is not a positive number of at most 4096, a channel count below 1, a gain scale
  // that does not give a 32-bit unity-gain constant, or when memory is short.
  bool configure(double factor, std::int32_t channelCount, double gainScale);

  // Converts `inCount` samples per channel into at most `outCount` per channel; channel c of the
  // input starts at input[c * inCount], of the output at output[c * outCount]. Sets `inCount` to
  // the number of input samples moved past and returns the number of output samples produced per
  // channel, or -1 after printing an error ("resample: %s \n\n" on standard output).
  std::int32_t run(std::int32_t& inCount, std::int32_t outCount, const std::int16_t* input, std::int16_t* output);

  // The plan a run of this configuration uses.
  PassPlan plan() const;
  static PassPlan planFor(double factor, bool useLargeFilter, bool linearMode, double gainScale);

 private:
  // Where a run stands between two passes.
  struct RunState {
    std::int32_t lastUseful = 0;  // P: only for the stop test once the input has ended
    std::int32_t writeAt = 0;     // W: block index the next read fills from
    std::int64_t moved = 0;       // input samples per channel moved past
    std::int32_t produced = 0;    // Y: output samples per channel so far
    std::int32_t end = 0;         // E: block index of the last input sample, once it has been read
  };

  // The phases of a run, in the order run() calls them; the reference resampler of the tests
  // is written in the same phases.
  RunState startRun(const PassPlan& plan);
  bool fillInput(RunState& s, std::int32_t inCount, const std::int16_t* input, const PassPlan& plan);
  std::int32_t passLength(const RunState& s, std::int32_t outCount, const PassPlan& plan) const;
  std::uint16_t filterChannels(std::int32_t count, const PassPlan& plan);
  static void countDownEnd(RunState& s, std::uint16_t advance, const PassPlan& plan);
  static std::int32_t takeOutput(RunState& s, std::int32_t count, std::int32_t outCount);
  void copyOutput(const RunState& s, std::int32_t count, std::int32_t outCount, std::int16_t* output) const;
  void shiftInput(RunState& s, std::uint16_t advance, const PassPlan& plan);
  std::int32_t finishRun(const RunState& s, std::int32_t& inCount);

  // One pass of `count` output samples of one channel from `position` on, which it advances;
  // returns the advance A in whole input samples. `reversed` is the channel's scratch block for the
  // older wing.
  std::uint16_t upPass(const std::int16_t* block, std::int16_t* reversed, std::int16_t* out, std::int32_t count,
                       std::uint32_t& position, const PassPlan& plan);
  std::uint16_t downPass(const std::int16_t* block, std::int16_t* reversed, std::int16_t* out, std::int32_t count,
                         std::uint32_t& position, const PassPlan& plan);
  std::uint16_t filterPass(const std::int16_t* block, std::int16_t* reversed, std::int16_t* out, std::int32_t count,
                           std::uint32_t& position, const PassPlan& plan);
  std::uint16_t linearPass(const std::int16_t* block, std::int16_t* out, std::int32_t count, std::uint32_t& position,
                           const PassPlan& plan);
  std::int32_t readInput(std::int32_t position, std::int32_t inCount, const std::int16_t* input);
  void freeBlocks();

  std::uint8_t interpolateCoefficients;
  std::uint8_t useLargeFilter;
  std::uint8_t linearMode;
  std::vector<std::unique_ptr<std::int16_t[]>> inputBlocks;
  std::vector<std::unique_ptr<std::int16_t[]>> outputBlocks;
  std::uint32_t timeRegister = 0;
  double factor = 0.0;
  std::int32_t channelCount = 0;
  std::uint8_t firstRun = 0;
  double gainScale = 1.0;

  FilterBank bank_;
  // Per channel, the input block in reverse order, remade before each filter pass: the wing towards
  // older samples reads it forward.
  std::vector<std::unique_ptr<std::int16_t[]>> reversedBlocks_;
};

}  // namespace velkin::sondrel
