// The resampler written out step by step, the straightforward way: every coefficient is looked up
// and interpolated in the innermost loop, exactly as the method describes it. The library's fast
// path (coefficient rows, vector loops, the tighter reach check) must give the same samples.
//
// It keeps its own input counter and uses input blocks with a generous tail, so that it can be
// driven with any factor the library accepts.
#pragma once

#include <cstdint>
#include <vector>

namespace velkin::test {

struct ReferenceConstants {
  std::int32_t R, B, K, G;
  std::uint32_t D, H;
};

class ReferenceResampler {
 public:
  ReferenceResampler(bool useLargeFilter, bool linearMode, bool interpolateCoefficients)
      : large_(useLargeFilter), linear_(linearMode), interpolate_(interpolateCoefficients) {}

  void configure(double factor, int channels, double gainScale);
  // As the method: returns the samples produced per channel or -1.
  std::int32_t run(std::int32_t& inCount, std::int32_t outCount, const std::int16_t* input, std::int16_t* output);

  // R, B, K (full pass), G, D and H as the method defines them.
  static ReferenceConstants Constants(double factor, bool large, bool linear, double gainScale);

  // The number of samples each pass of the last run put into the output.
  const std::vector<std::int32_t>& passes() const { return passes_; }

 private:
  // The phases of a run, named as the library names them, each step of the method written out.
  struct RunState {
    std::int32_t P = 0, W = 0, moved = 0, Y = 0, E = 0;
  };
  RunState startRun(const ReferenceConstants& c);
  bool fillInput(RunState& s, std::int32_t inCount, const std::int16_t* input, const ReferenceConstants& c);
  std::int32_t passLength(const RunState& s, std::int32_t outCount, const ReferenceConstants& c) const;
  std::uint16_t filterChannels(std::int32_t K, const ReferenceConstants& c);
  static void countDownEnd(RunState& s, std::uint16_t A, const ReferenceConstants& c);
  static std::int32_t takeOutput(RunState& s, std::int32_t K, std::int32_t outCount);
  void copyOutput(const RunState& s, std::int32_t K, std::int32_t outCount, std::int16_t* output);
  void shiftInput(RunState& s, std::uint16_t A, const ReferenceConstants& c);
  std::int32_t finishRun(const RunState& s, std::int32_t& inCount);

  std::int16_t outputSample(const std::int16_t* X, std::uint32_t t, const ReferenceConstants& c) const;
  std::int32_t wingSum(const std::int16_t* x, std::uint32_t phase, int s) const;
  std::int32_t wingSumScaled(const std::int16_t* x, std::uint32_t phase, int s, std::uint32_t H) const;
  std::int32_t readInput(std::int32_t W, std::int32_t inCount, const std::int16_t* input);

  bool large_, linear_, interpolate_;
  double factor_ = 0, gainScale_ = 1;
  int channels_ = 0;
  bool firstRun_ = false;
  std::uint32_t timeRegister_ = 0;
  std::int32_t counter_ = 0;
  std::vector<std::vector<std::int16_t>> inputBlocks_, outputBlocks_;
  std::vector<std::int32_t> passes_;
};

}  // namespace velkin::test
