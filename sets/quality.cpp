#include "sets/quality.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <optional>
#include <type_traits>

namespace velkin::sets {
namespace {

constexpr std::size_t kCorrelationBlock = 2048;
constexpr std::size_t kFractionSteps = 1024;
constexpr std::size_t kDelayWindow = 2048;
constexpr std::size_t kMaxDelayWindows = 48;
constexpr std::size_t kWarpBlock = 64;
// Lags summed beyond a search's range for the interpolation around its peak (kHalfTaps + 1).
constexpr int kPeakReach = kHalfTaps + 1;
// Straightened around a window, beyond its ends: the lags its second search reads.
constexpr std::size_t kWindowMargin = 64;

double Db(double signal, double noise) {
  // No error at all is perfect, even where there is nothing to hear.
  if (noise <= 0.0) return kPerfectDb;
  if (signal <= 0.0) return -kPerfectDb;
  return std::clamp(10.0 * std::log10(signal / noise), -kPerfectDb, kPerfectDb);
}

template <class Reference, class Test>
Quality MeasureSpans(std::span<const Reference> reference, std::span<const Test> test, std::uint32_t rate,
                     std::size_t grid) {
  Quality q;
  const std::size_t n = std::min(reference.size(), test.size());
  q.compared = n;
  const std::size_t frame = std::max<std::size_t>(1, static_cast<std::size_t>(std::lround(kFrameSeconds * rate)));
  const double quiet = std::pow(10.0, kQuietFrameDbfs / 10.0) * 32768.0 * 32768.0;
  double signal = 0.0, noise = 0.0, frames_db = 0.0;
  std::size_t frames = 0;
  // Frames stand on the reference's own grid, wherever the compared stretch begins: two
  // comparisons of one reference cut it alike, however their stretches were trimmed.
  std::size_t at = 0;
  while (at < n) {
    const std::size_t end = std::min(n, at + frame - (grid + at) % frame);
    double s = 0.0, e = 0.0;
    if constexpr (std::is_same_v<Test, std::int16_t>) {
      // Whole numbers: exact sums, and loops the compiler turns into vector code.
      std::int64_t si = 0, ei = 0;
      for (std::size_t i = at; i < end; ++i) {
        const std::int32_t x = reference[i];
        const std::int32_t d = x - test[i];
        si += x * x;
        ei += static_cast<std::int64_t>(d) * d;
      }
      s = static_cast<double>(si);
      e = static_cast<double>(ei);
    } else {
      for (std::size_t i = at; i < end; ++i) {
        const double x = reference[i];
        const double d = x - static_cast<double>(test[i]);
        s += x * x;
        e += d * d;
      }
    }
    signal += s;
    noise += e;
    // A piece of a frame at either end counts when it is at least half a frame.
    if (2 * (end - at) >= frame && s / static_cast<double>(end - at) >= quiet) {
      frames_db += std::clamp(Db(s, e), kFrameFloorDb, kFrameCeilingDb);
      ++frames;
    }
    at = end;
  }
  q.snrDb = Db(signal, noise);
  q.segSnrDb =
      frames > 0 ? frames_db / static_cast<double>(frames) : std::clamp(q.snrDb, kFrameFloorDb, kFrameCeilingDb);
  return q;
}

// Blackman-windowed sinc taps for reading at whole position + `fraction`, tap j standing at
// offset j - kHalfTaps + 1; normalised to a gain of 1 at 0 Hz. Held for kFractionSteps fractions,
// made once: a fraction is rounded to the nearest, 1/2048 of a sample at most.
std::span<const float> FractionTaps(double fraction) {
  static const std::vector<float> table = [] {
    std::vector<float> all((kFractionSteps + 1) * 2 * kHalfTaps);
    for (std::size_t step = 0; step <= kFractionSteps; ++step) {
      const double f = static_cast<double>(step) / kFractionSteps;
      double taps[2 * kHalfTaps];
      double sum = 0.0;
      for (int j = 0; j < 2 * kHalfTaps; ++j) {
        const double t = (j - kHalfTaps + 1) - f;
        const double x = std::numbers::pi * t;
        const double sinc = std::abs(t) < 1e-12 ? 1.0 : std::sin(x) / x;
        const double u = t / kHalfTaps;
        const double window = std::abs(u) >= 1.0 ? 0.0
                                                 : 0.42 + 0.5 * std::cos(std::numbers::pi * u) +
                                                       0.08 * std::cos(2.0 * std::numbers::pi * u);
        taps[j] = sinc * window;
        sum += taps[j];
      }
      for (int j = 0; j < 2 * kHalfTaps; ++j) all[step * 2 * kHalfTaps + j] = static_cast<float>(taps[j] / sum);
    }
    return all;
  }();
  const auto step = static_cast<std::size_t>(std::lround(std::clamp(fraction, 0.0, 1.0) * kFractionSteps));
  return std::span<const float>(table).subspan(step * 2 * kHalfTaps, 2 * kHalfTaps);
}

}  // namespace

Quality Measure(std::span<const std::int16_t> reference, std::span<const std::int16_t> test, std::uint32_t rate,
                std::size_t grid) {
  return MeasureSpans(reference, test, rate, grid);
}

Quality Measure(std::span<const std::int16_t> reference, std::span<const float> test, std::uint32_t rate,
                std::size_t grid) {
  return MeasureSpans(reference, test, rate, grid);
}

namespace {

// The Hann window of `length` samples. Blocks are mostly kCorrelationBlock long: that window is
// made once.
std::vector<float> MakeHann(std::size_t length) {
  std::vector<float> window(length);
  for (std::size_t i = 0; i < length; ++i) {
    window[i] = static_cast<float>(
        0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * (static_cast<double>(i) + 0.5) / static_cast<double>(length)));
  }
  return window;
}

// The correlation sum over reference[n] * test[n + k] for every k in [first, last], over the same
// samples n of [from, to) for every lag, at most `budget` of them in blocks spread evenly. Empty
// when no sample has all its lags inside the test.
std::vector<std::int64_t> CorrelationSums(std::span<const std::int16_t> reference, std::span<const std::int16_t> test,
                                          std::size_t from, std::size_t to, std::int64_t first, std::int64_t last,
                                          std::size_t budget, bool taper) {
  const std::int64_t n0 = std::max<std::int64_t>({0, -first, static_cast<std::int64_t>(from)});
  const std::int64_t n1 = std::min<std::int64_t>(
      {static_cast<std::int64_t>(std::min(to, reference.size())), static_cast<std::int64_t>(test.size()) - last});
  if (n1 <= n0) return {};
  const auto span = static_cast<std::size_t>(n1 - n0);
  std::size_t blocks = 1, block = span, stride = span;
  if (span > budget) {
    block = std::min(kCorrelationBlock, budget);
    blocks = std::max<std::size_t>(1, budget / block);
    stride = span / blocks;
  }
  const auto lags = static_cast<std::size_t>(last - first + 1);
  std::vector<std::int64_t> sums(lags, 0);
  std::vector<std::int16_t> tapered;
  for (std::size_t b = 0; b < blocks; ++b) {
    const std::size_t start = static_cast<std::size_t>(n0) + b * stride;
    const std::size_t length = std::min(start + block, static_cast<std::size_t>(n1)) - start;
    const std::int16_t* x = reference.data() + start;
    if (taper) {
      // The reference's block fades in and out (a Hann window): with hard edges, the samples
      // that enter and leave the sum as the lag changes tilt the peak towards one side, by a
      // tenth of a sample in blocks of 256.
      static const std::vector<float> common = MakeHann(kCorrelationBlock);
      const std::vector<float> other = length == kCorrelationBlock ? std::vector<float>() : MakeHann(length);
      const std::vector<float>& window = length == kCorrelationBlock ? common : other;
      tapered.resize(length);
      for (std::size_t i = 0; i < length; ++i) {
        tapered[i] = static_cast<std::int16_t>(std::lrint(window[i] * static_cast<float>(x[i])));
      }
      x = tapered.data();
    }
    for (std::size_t k = 0; k < lags; ++k) {
      // Plain integer products: exact, and a loop the compiler turns into vector code.
      const std::int16_t* y = test.data() + static_cast<std::ptrdiff_t>(start) + static_cast<std::ptrdiff_t>(first) +
                              static_cast<std::ptrdiff_t>(k);
      std::int64_t sum = 0;
      for (std::size_t n = 0; n < length; ++n) sum += static_cast<std::int32_t>(x[n]) * y[n];
      sums[k] += sum;
    }
  }
  return sums;
}

}  // namespace

int WholeLag(std::span<const std::int16_t> reference, std::span<const std::int16_t> test, int lo, int hi,
             std::size_t budget) {
  if (hi < lo) return lo;
  const std::vector<std::int64_t> sums = CorrelationSums(reference, test, 0, reference.size(), lo, hi, budget, false);
  if (sums.empty()) return lo + (hi - lo) / 2;
  const auto best = std::max_element(sums.begin(), sums.end());
  return *best > 0 ? lo + static_cast<int>(best - sums.begin()) : lo + (hi - lo) / 2;
}

Lag FindLagIn(std::span<const std::int16_t> reference, std::span<const std::int16_t> test, std::size_t from,
              std::size_t to, int lo, int hi, std::size_t budget) {
  Lag lag;
  if (hi < lo) return lag;
  // The correlation is summed kPeakReach lags beyond [lo, hi] as well, so that the peak has the
  // neighbours its interpolation needs wherever it lies.
  const std::int64_t first = static_cast<std::int64_t>(lo) - kPeakReach;
  const std::int64_t last = static_cast<std::int64_t>(hi) + kPeakReach;
  const std::vector<std::int64_t> sums = CorrelationSums(reference, test, from, to, first, last, budget, true);
  if (sums.empty()) return lag;
  const auto search = std::span<const std::int64_t>(sums).subspan(kPeakReach, static_cast<std::size_t>(hi - lo + 1));
  const auto best = static_cast<std::size_t>(std::max_element(search.begin(), search.end()) - search.begin());
  lag.strength = static_cast<double>(search[best]);
  if (lag.strength <= 0.0) {
    // Nothing correlates (silence on either side): no delay to be found, the middle of the range.
    lag.whole = lo + (hi - lo) / 2;
    return lag;
  }
  lag.whole = lo + static_cast<int>(best);

  // The correlation of two band-limited sounds is band-limited too: read between its whole lags
  // with the windowed sinc, its peak lies where the sounds truly meet. A parabola through three
  // whole lags would pull it towards the nearest whole lag. Searched in steps of 1/32 within a
  // sample of the whole peak, then to a fraction of a step by a parabola through the best three.
  const std::size_t peak = kPeakReach + best;  // in `sums`
  const auto at = [&](int step) {              // the correlation at peak + step / 32
    const int whole = step >= 0 ? step / 32 : -((-step + 31) / 32);
    const double fraction = static_cast<double>(step - 32 * whole) / 32.0;
    const std::span<const float> taps = FractionTaps(fraction);
    double sum = 0.0;
    for (std::size_t j = 0; j < taps.size(); ++j) {
      const auto k = static_cast<std::int64_t>(peak) + whole + static_cast<std::int64_t>(j) - kHalfTaps + 1;
      if (k >= 0 && k < static_cast<std::int64_t>(sums.size()))
        sum += taps[j] * static_cast<double>(sums[static_cast<std::size_t>(k)]);
    }
    return sum;
  };
  int top = 0;
  double top_value = at(0);
  std::vector<double> values(65);
  for (int step = -32; step <= 32; ++step) {
    values[static_cast<std::size_t>(step + 32)] = step == 0 ? top_value : at(step);
    if (values[static_cast<std::size_t>(step + 32)] > top_value) {
      top_value = values[static_cast<std::size_t>(step + 32)];
      top = step;
    }
  }
  double offset = top / 32.0;
  if (top > -32 && top < 32) {
    const double a = values[static_cast<std::size_t>(top + 31)];
    const double b = values[static_cast<std::size_t>(top + 32)];
    const double c = values[static_cast<std::size_t>(top + 33)];
    const double curve = a - 2.0 * b + c;
    if (curve < 0.0) offset += std::clamp(0.5 * (a - c) / curve, -0.5, 0.5) / 32.0;
  }
  const double delay = lag.whole + offset;
  lag.whole = static_cast<int>(std::lround(delay));
  lag.fraction = delay - lag.whole;
  return lag;
}

Lag FindLag(std::span<const std::int16_t> reference, std::span<const std::int16_t> test, int lo, int hi,
            std::size_t budget) {
  return FindLagIn(reference, test, 0, reference.size(), lo, hi, budget);
}

namespace {

// out[m] = in(m + delay) for m in [m0, m1), with one set of taps for the delay's fraction.
void DelayBlock(std::span<const float> in, double delay, std::span<float> out, std::int64_t m0, std::int64_t m1) {
  const double whole_part = std::floor(delay);
  const double fraction = delay - whole_part;
  const auto whole = static_cast<std::int64_t>(whole_part);
  const auto size = static_cast<std::int64_t>(in.size());
  if (fraction < 1e-6) {
    for (std::int64_t m = m0; m < m1; ++m) {
      const std::int64_t i = m + whole;
      out[static_cast<std::size_t>(m)] = i >= 0 && i < size ? in[static_cast<std::size_t>(i)] : 0.0f;
    }
    return;
  }
  const std::span<const float> taps = FractionTaps(fraction);
  for (std::int64_t m = m0; m < m1; ++m) out[static_cast<std::size_t>(m)] = 0.0f;
  // Tap by tap over the block, so that the inner loop is a plain multiply-add.
  for (std::size_t j = 0; j < taps.size(); ++j) {
    const std::int64_t offset = whole + static_cast<std::int64_t>(j) - kHalfTaps + 1;
    const std::int64_t lo = std::max(m0, -offset);
    const std::int64_t hi = std::min(m1, size - offset);
    const float tap = taps[j];
    float* o = out.data();
    const float* x = in.data() + offset;
    for (std::int64_t m = lo; m < hi; ++m) o[m] += tap * x[m];
  }
}

// out[m] = in(m + line.At(m)) for m in [from, to): blocks of kWarpBlock samples on a fixed grid,
// each read at the delay of its middle.
void WarpInto(std::span<const float> in, const DelayLine& line, std::span<float> out, std::size_t from,
              std::size_t to) {
  for (std::size_t m0 = from - from % kWarpBlock; m0 < to; m0 += kWarpBlock) {
    const std::size_t m1 = std::min(out.size(), m0 + kWarpBlock);
    DelayBlock(in, line.At(0.5 * static_cast<double>(m0 + m1 - 1)), out, static_cast<std::int64_t>(m0),
               static_cast<std::int64_t>(m1));
  }
}

}  // namespace

DelayLine FitDelayLine(std::span<const std::int16_t> reference, std::span<const std::int16_t> test, int lo, int hi) {
  DelayLine line;
  const std::size_t n = std::min(reference.size(), test.size());
  if (n == 0) return line;
  // Windows of about 50 ms at 44.1 kHz, at most kMaxWindows of them spread over the sound.
  const std::size_t window = std::min<std::size_t>(kDelayWindow, n);
  const std::size_t count = std::clamp<std::size_t>(n / window, 1, kMaxDelayWindows);
  const std::size_t hop = count > 1 ? (n - window) / (count - 1) : 0;
  const double quiet = std::pow(10.0, kQuietFrameDbfs / 10.0) * 32768.0 * 32768.0 * static_cast<double>(window);
  struct Point {
    double at, delay, weight;
  };
  // Follows the delay window by window, from the loudest window (searched over [lo, hi]) out to
  // both ends, each next search near the delay before it: the drift between two windows is a
  // sample or two at most.
  std::vector<double> energy(count, 0.0);
  for (std::size_t w = 0; w < count; ++w) {
    for (std::size_t i = w * hop; i < w * hop + window; ++i)
      energy[w] += static_cast<double>(reference[i]) * reference[i];
  }
  const auto loudest = static_cast<std::size_t>(std::max_element(energy.begin(), energy.end()) - energy.begin());
  const auto follow = [&](std::span<const std::int16_t> moved, int first_lo, int first_hi, int reach) {
    std::vector<Point> points;
    const auto measure = [&](std::size_t w, int search_lo, int search_hi) -> std::optional<Lag> {
      if (energy[w] < quiet) return std::nullopt;
      const std::size_t from = w * hop;
      const Lag lag = FindLagIn(reference, moved, from, from + window, search_lo, search_hi, window);
      // A peak at either end of the search may lie beyond it.
      if (lag.strength <= 0.0 || lag.whole <= search_lo || lag.whole >= search_hi) return std::nullopt;
      points.push_back({static_cast<double>(from) + 0.5 * static_cast<double>(window), lag.Delay(), lag.strength});
      return lag;
    };
    const auto start = measure(loudest, first_lo - 1, first_hi + 1);
    if (!start) return points;
    for (const int direction : {+1, -1}) {
      int centre = start->whole;
      for (auto w = static_cast<std::int64_t>(loudest) + direction; w >= 0 && w < static_cast<std::int64_t>(count);
           w += direction) {
        if (const auto lag = measure(static_cast<std::size_t>(w), centre - reach, centre + reach)) centre = lag->whole;
      }
    }
    return points;
  };
  const auto line_through = [](const std::vector<Point>& points, DelayLine& out) {
    double sw = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (const Point& p : points) {
      sw += p.weight;
      sx += p.weight * p.at;
      sy += p.weight * p.delay;
      sxx += p.weight * p.at * p.at;
      sxy += p.weight * p.at * p.delay;
    }
    if (sw <= 0.0) return false;
    const double mx = sx / sw, my = sy / sw;
    const double vxx = sxx / sw - mx * mx;
    out.slope = points.size() > 1 && vxx > 1e-9 ? (sxy / sw - mx * my) / vxx : 0.0;
    out.offset = my - out.slope * mx;
    return true;
  };
  // A window of strongly periodic sound can settle a sample away: such windows are left out once
  // a first line shows them far from the others (three times the median distance, at least a
  // tenth of a sample), and the line is drawn again.
  const auto fit = [&](std::vector<Point> points, DelayLine& out) {
    if (!line_through(points, out)) return false;
    for (int round = 0; round < 2 && points.size() > 2; ++round) {
      std::vector<double> distance;
      for (const Point& p : points) distance.push_back(std::abs(p.delay - out.At(p.at)));
      std::vector<double> sorted = distance;
      std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2), sorted.end());
      const double limit = std::max(0.1, 3.0 * sorted[sorted.size() / 2]);
      std::vector<Point> kept;
      for (std::size_t i = 0; i < points.size(); ++i) {
        if (distance[i] <= limit) kept.push_back(points[i]);
      }
      if (kept.size() == points.size() || kept.size() < 2) break;
      points = std::move(kept);
      line_through(points, out);
    }
    return true;
  };

  if (!fit(follow(test, lo, hi, 3), line)) {
    const Lag lag = FindLag(reference, test, lo, hi);
    line.offset = lag.Delay();
    return line;
  }
  // What is left once the line is taken out, measured again: near zero the estimate is at its
  // most exact.
  // Only the windows' stretches are straightened: nothing else is read.
  std::vector<float> back(n, 0.0f);
  const std::vector<float> source(test.begin(), test.end());
  for (std::size_t w = 0; w < count; ++w) {
    const std::size_t from = w * hop > kWindowMargin ? w * hop - kWindowMargin : 0;
    WarpInto(source, line, back, from, std::min(n, w * hop + window + kWindowMargin));
  }
  std::vector<std::int16_t> straightened(back.size());
  for (std::size_t i = 0; i < back.size(); ++i) {
    straightened[i] = static_cast<std::int16_t>(std::clamp(std::lrint(back[i]), -32768L, 32767L));
  }
  DelayLine rest;
  if (fit(follow(straightened, -2, 2, 2), rest)) {
    line.offset += rest.offset;
    line.slope += rest.slope;
  }
  return line;
}

std::vector<float> Delayed(std::span<const std::int16_t> in, double delay, std::size_t count) {
  const std::vector<float> source(in.begin(), in.end());
  std::vector<float> out(count, 0.0f);
  DelayBlock(source, delay, out, 0, static_cast<std::int64_t>(count));
  return out;
}

std::vector<float> Warped(std::span<const std::int16_t> in, const DelayLine& line, std::size_t count) {
  const std::vector<float> source(in.begin(), in.end());
  std::vector<float> out(count, 0.0f);
  WarpInto(source, line, out, 0, count);
  return out;
}

Quality CompareAligned(std::span<const std::int16_t> reference, std::span<const std::int16_t> test, std::uint32_t rate,
                       int max_lag) {
  const Lag lag = FindLag(reference, test, -max_lag, max_lag);
  // The test read at the delay stands where the reference does. Compared only where the
  // interpolation has all its taps inside the test (where it has none, at a whole delay, every
  // sample that exists).
  const double delay = lag.Delay();
  const double margin = lag.fraction == 0.0 ? 0.0 : kHalfTaps;
  const auto from = static_cast<std::size_t>(std::max(0.0, std::ceil(margin - delay)));
  const double last = std::floor(static_cast<double>(test.size()) - delay - margin);
  const auto to = static_cast<std::size_t>(std::clamp(last, 0.0, static_cast<double>(reference.size())));
  if (to <= from) return Quality{};
  const std::vector<float> aligned = Delayed(test, delay, to);
  return Measure(reference.subspan(from, to - from), std::span<const float>(aligned).subspan(from), rate, from);
}

}  // namespace velkin::sets
