#include "filter_bank.h"

#include <algorithm>
#include <new>

namespace velkin::sondrel {

namespace {

// One weighted sample, rounded half up to 14 fraction bits fewer.
inline std::int32_t Product(std::int32_t coefficient, std::int32_t sample) {
  return (coefficient * sample + 8192) >> 14;
}

// A plain loop over rows of equal length: the compiler turns it into vector code.
std::int32_t SumForward(const std::int16_t* __restrict c, const std::int16_t* __restrict x, std::int32_t n) {
  std::int32_t sum = 0;
  for (std::int32_t j = 0; j < n; ++j) sum += Product(c[j], x[j]);
  return sum;
}

}  // namespace

bool FilterBank::Prepare(const std::int16_t* table, const std::int16_t* delta, std::int32_t length, std::uint32_t step,
                         bool interpolate) {
  Release();
  if (step == 0 || length <= 0) return false;
  table_ = table;
  delta_ = delta;
  length_ = length;
  step_ = step;
  interpolate_ = interpolate;
  const std::uint64_t span = static_cast<std::uint64_t>(length) << 7;
  const std::uint64_t longest = (span + step - 1) / step;
  stride_ = static_cast<std::int32_t>((longest + 7) & ~std::uint64_t{7});
  const std::size_t rows = static_cast<std::size_t>(step) + 1;  // starts 0 .. H (H: phase 0, newer wing)
  rows_.reset(new (std::nothrow) std::int16_t[rows * static_cast<std::size_t>(stride_)]);
  state_.reset(new (std::nothrow) std::uint8_t[rows]());
  count_.reset(new (std::nothrow) std::uint16_t[rows]);
  if (!rows_ || !state_ || !count_) {
    Release();
    return false;
  }
  return true;
}

void FilterBank::Release() {
  rows_.reset();
  state_.reset();
  count_.reset();
  stride_ = 0;
}

void FilterBank::Build(std::uint32_t start) {
  std::int16_t* row = rows_.get() + static_cast<std::size_t>(start) * static_cast<std::size_t>(stride_);
  std::int32_t n = 0;
  std::uint32_t last = start;
  for (std::uint32_t p = start; static_cast<std::int32_t>(p >> 7) < length_; p += step_) {
    const std::int32_t h = static_cast<std::int32_t>(p >> 7);
    std::int32_t k = table_[h];
    // Interpolated between two neighbouring entries, so it stays a 16-bit value.
    if (interpolate_) k += (delta_[h] * static_cast<std::int32_t>(p & 0x7F)) >> 7;
    row[n++] = static_cast<std::int16_t>(k);
    last = p;
  }
  std::fill(row + n, row + stride_, std::int16_t{0});
  count_[start] = static_cast<std::uint16_t>(n);
  state_[start] = static_cast<std::uint8_t>(1 + (n > 0 && static_cast<std::int32_t>(last >> 7) == length_ - 1));
}

const std::int16_t* FilterBank::Row(std::uint32_t start) {
  if (state_[start] == 0) Build(start);
  return rows_.get() + static_cast<std::size_t>(start) * static_cast<std::size_t>(stride_);
}

std::int32_t FilterBank::Older(const std::int16_t* reversed, std::uint32_t phase) {
  const std::uint32_t start = (phase * step_) >> 15;
  return SumForward(Row(start), reversed, stride_);
}

void FilterBank::Prefetch(std::uint32_t position) {
  const std::uint32_t older = ((position & 0x7FFF) * step_) >> 15;
  const std::uint32_t phase = (0u - position) & 0x7FFF;
  const std::uint32_t newer = phase == 0 ? step_ : (phase * step_) >> 15;
  for (const std::uint32_t start : {older, newer}) {
    const std::int16_t* row = Row(start);
    for (std::int32_t j = 0; j < stride_; j += 32) __builtin_prefetch(row + j);  // one cache line per step
  }
}

std::int32_t FilterBank::Newer(const std::int16_t* x, std::uint32_t phase) {
  std::uint32_t start = (phase * step_) >> 15;
  if (phase == 0) start += step_;
  const std::int16_t* row = Row(start);
  std::int32_t sum = SumForward(row, x, stride_);
  if (state_[start] == 2) {
    const std::int32_t last = count_[start] - 1;
    sum -= Product(row[last], x[last]);
  }
  return sum;
}

}  // namespace velkin::sondrel
