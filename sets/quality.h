// How close a coded sound is to what it should be.
//
// The measure is the segmental SNR: the sound is cut into frames of 20 ms, each frame's SNR is
// held within -10 and 35 dB (a frame cannot count for more than inaudible, nor a broken one for
// less than broken) and the frames are averaged; frames where the reference is quieter than
// -60 dBFS are left out, as their SNR says nothing about what is heard. The plain SNR over the
// whole sound is given beside it.
//
// Sample-by-sample measures need the two sounds aligned: a sound brought back to its own rate by
// the converter lies a few samples, and a fraction of one, away from the original (and a 12-bit
// region that starts a sample early lies a whole sample away). The delay is found by
// cross-correlation, refined to a fraction of a sample by a parabola through the peak and its two
// neighbours, and taken out with a windowed-sinc fractional delay.
//
// Through the converter the delay is not even constant: its time register steps by the ratio of
// the rates rounded to 15 fraction bits, with nothing to correct the creep, so a round trip drifts
// steadily, by up to about one sample in ten thousand (9 samples over 4.5 s at 44.1 kHz through
// 6000 Hz). The delay is therefore followed along the sound, window by window, and taken out as a
// straight line: offset plus slope.
//
// This was chosen over a per-frame spectral distance because the result stays an SNR in dB,
// comparable with the figures the build reports, and because every candidate of a fit shares its
// clip's delay at a rate: it is found once per clip and rate, not once per candidate.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace velkin::sets {

inline constexpr double kFrameSeconds = 0.020;
inline constexpr double kFrameFloorDb = -10.0;
inline constexpr double kFrameCeilingDb = 35.0;
inline constexpr double kQuietFrameDbfs = -60.0;
inline constexpr int kHalfTaps = 16;
// The SNR of a sound without any error.
inline constexpr double kPerfectDb = 99.0;

struct Quality {
  double snrDb = 0.0;
  double segSnrDb = 0.0;
  std::uint64_t compared = 0;  // samples compared
};

// Sample by sample over the common length, as the sounds stand. `grid`: where the spans begin in
// the reference they were cut from, so that frames fall on the reference's own 20 ms grid.
Quality Measure(std::span<const std::int16_t> reference, std::span<const std::int16_t> test, std::uint32_t rate,
                std::size_t grid = 0);
Quality Measure(std::span<const std::int16_t> reference, std::span<const float> test, std::uint32_t rate,
                std::size_t grid = 0);

// The delay d in [lo, hi] (whole part) at which test[n + d] best matches reference[n], by
// cross-correlation over at most `budget` samples spread over the sound (in blocks that fade in
// and out), the fraction from the correlation read between its whole lags by the windowed sinc.
// Where nothing correlates, the middle of the range with strength 0.
struct Lag {
  int whole = 0;
  double fraction = 0.0;  // -0.5 .. 0.5
  double strength = 0.0;  // the correlation at the peak
  double Delay() const { return whole + fraction; }
};
Lag FindLag(std::span<const std::int16_t> reference, std::span<const std::int16_t> test, int lo, int hi,
            std::size_t budget = 1 << 15);
// The whole lag alone in [lo, hi], where only whole samples matter (a region that starts early);
// the middle of the range when nothing correlates.
int WholeLag(std::span<const std::int16_t> reference, std::span<const std::int16_t> test, int lo, int hi,
             std::size_t budget = 1 << 13);
// FindLag over the reference's samples [from, to) only.
Lag FindLagIn(std::span<const std::int16_t> reference, std::span<const std::int16_t> test, std::size_t from,
              std::size_t to, int lo, int hi, std::size_t budget = 1 << 15);

// A delay that changes steadily along the sound: test[n + At(n)] ~ reference[n].
struct DelayLine {
  double offset = 0.0;
  double slope = 0.0;
  double At(double n) const { return offset + slope * n; }
};

// Follows the delay of `test` against `reference` along the sound, in windows spread over it, the
// first searched within [lo, hi] and each next one near the one before, and fits a line through
// the windows' delays (each weighted by how strongly the window correlates). A second pass measures
// what is left after the line is taken out, and corrects it.
DelayLine FitDelayLine(std::span<const std::int16_t> reference, std::span<const std::int16_t> test, int lo, int hi);

// `count` samples of `in` read along the line: out[m] = in(m + line.At(m)), interpolated by the
// windowed sinc (the delay is taken as constant over short blocks, where it moves by far less than
// a thousandth of a sample).
std::vector<float> Warped(std::span<const std::int16_t> in, const DelayLine& line, std::size_t count);

// `count` samples of `in` read from `delay` on: out[m] = in(m + delay), interpolated by a windowed
// sinc of 2 * kHalfTaps taps where the delay has a fraction (positions outside `in` read as 0).
std::vector<float> Delayed(std::span<const std::int16_t> in, double delay, std::size_t count);

// The whole comparison of a sound with its reference at one rate: the lag within +-max_lag,
// taken out, then measured.
Quality CompareAligned(std::span<const std::int16_t> reference, std::span<const std::int16_t> test, std::uint32_t rate,
                       int max_lag);

}  // namespace velkin::sets
