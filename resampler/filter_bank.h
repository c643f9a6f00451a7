// One wing of the filter evaluated against input samples, with the coefficients worked out once
// per configuration instead of once per output sample.
//
// A wing walks the coefficient table from a start position p0 in steps of H (table positions with
// 7 fraction bits): coefficient j is table[p >> 7], interpolated towards the next entry by p & 127,
// for p = p0 + j*H while p >> 7 is inside the table. H is fixed by the factor and p0 depends only on
// the phase of the output sample, so each possible start is a fixed row of 16-bit coefficients.
// Rows are built the first time a phase needs them and kept until the next configuration; they are
// zero-padded to one common length, so the products run over equal, vector-friendly lengths (a zero
// coefficient adds (0 * x + 8192) >> 14 = 0). The sums are exactly those of walking the table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "cpu/vector_level.h"
#include "resampler/os/large_memory.h"

namespace velkin::sondrel {

class FilterBank {
 public:
  // Sums in the widest lanes `level` allows: one product at a time (plain), eight (SSE2), sixteen
  // (AVX2) or thirty-two (AVX-512BW, where a row is whole steps of 32; else sixteen). Every level
  // gives the same sums.
  explicit FilterBank(cpu::Level level = cpu::DefaultLevel()) : level_(cpu::Runnable(level)) {}

  // Prepares rows for walks of `step` over a table of `length` entries (and its difference table,
  // used when `interpolate` is set). No row is computed yet. False when memory is short.
  bool Prepare(const std::int16_t* table, const std::int16_t* delta, std::int32_t length, std::uint32_t step,
               bool interpolate);
  void Release();
  bool Prepared() const { return rows_ != nullptr; }

  // Both wings of the output sample at `phase` (the wing towards newer samples starts at the
  // mirrored phase, (-position) & 0x7FFF).
  // The wing towards older samples is weighted from the start ((phase * H) >> 15) up to the end
  // of the table. It reads a reversed copy of the samples, so that both wings walk forward
  // through memory: reversed[0] is the newest sample of the wing, reversed[1] the one before it.
  // The wing towards newer samples weights x[0], x[1], ... from the start ((mirrored * H) >> 15,
  // one step further at phase 0), up to but excluding the last table entry.
  std::int32_t Sum(const std::int16_t* reversed, std::uint32_t phase, const std::int16_t* x, std::uint32_t mirrored);

  // Makes the rows of the output sample at `position` (15 fraction bits) ready and starts loading
  // them, so that they are in the cache when that sample is computed a few samples later.
  void Prefetch(std::uint32_t position);

  // Longest row: the most products one wing needs.
  std::int32_t RowLength() const { return stride_; }

 private:
  const std::int16_t* Row(std::uint32_t start);
  void Build(std::uint32_t start);

  cpu::Level level_;
  const std::int16_t* table_ = nullptr;
  const std::int16_t* delta_ = nullptr;
  std::int32_t length_ = 0;
  std::uint32_t step_ = 0;
  bool interpolate_ = false;
  std::int32_t stride_ = 0;
  std::int32_t (*sum_)(const std::int16_t*, const std::int16_t*, const std::int16_t*, const std::int16_t*,
                       std::int32_t) = nullptr;
  LargeMemory rows_;
  // Per row: 0 not built yet; otherwise 1 + (1 when its last coefficient comes from the table's
  // last entry, which the newer wing leaves out).
  std::unique_ptr<std::uint8_t[]> state_;
  std::unique_ptr<std::uint16_t[]> count_;
};

}  // namespace velkin::sondrel
