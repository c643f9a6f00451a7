#include "formats/adpcm4_codec.h"

#include <cmath>

namespace velkin::adpcm4 {

namespace {

// Rounds an intermediate result to double. On an x87 FPU (32-bit Windows builds) products
// are otherwise kept with a longer mantissa, and 20 * 1.075 + 0.5 would then truncate to 21
// instead of 22: the table must come out of plain double arithmetic.
double AsDouble(double x) {
  volatile double stored = x;
  return stored;
}

}  // namespace

StepTable BuildStepTable() {
  StepTable table{};
  double t = 0.0;
  for (std::size_t i = 0; i < kStepCount; ++i) {
    double next = std::trunc(AsDouble(AsDouble(t * 1.075) + 0.5));
    if (next == t) next = t + 1.0;
    t = next;
    table[i] = static_cast<std::uint16_t>(t);
  }
  return table;
}

const StepTable& Steps() {
  static const StepTable table = BuildStepTable();
  return table;
}

std::size_t DecodeBlock(std::span<const std::uint8_t> record, std::vector<std::uint16_t>& out) {
  if (record.size() < 3 || record[0] == 0) return 0;
  const std::size_t length = record[0];
  const std::size_t size = 3 + length / 2;
  if (record.size() < size) return 0;
  const auto header = static_cast<std::uint16_t>(record[1] | (record[2] << 8));
  std::uint16_t x = header & 0x7F;
  if (x > kTopIndex) return 0;

  const StepTable& steps = Steps();
  std::uint16_t v = StartPredictor(header);
  out.push_back(v);
  for (std::size_t j = 1; j < length; ++j) {
    const std::uint8_t pair = record[3 + (j - 1) / 2];
    const std::uint8_t code = (j % 2 == 1) ? (pair & 0x0F) : (pair >> 4);
    v = Reconstruct(v, code, steps[x]);
    x = NextIndex(x, code & 7);
    out.push_back(v);
  }
  return size;
}

}  // namespace velkin::adpcm4
