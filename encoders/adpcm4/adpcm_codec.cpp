#include "adpcm_codec.h"

#include <cmath>

#include "trial_step.h"

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

const TrialTables& Trial() {
  static const TrialTables tables = [] {
    TrialTables built{};
    const StepTable& steps = Steps();
    for (std::uint16_t x = 0; x < kStepCount; ++x) {
      const std::uint64_t y = steps[x];
      built.reciprocal[x] = ((std::uint64_t{1} << kReciprocalShift) + y - 1) / y;
      built.step[x] = steps[x];
      built.step16[x] = steps[x];
      for (std::uint8_t m = 0; m < 8; ++m) {
        built.move[x][m] = StepDelta(m, steps[x]) | (std::uint32_t{NextTrialIndex(x, m)} << 16);
        built.codec_move[x][m] = StepDelta(m, steps[x]) | (std::uint32_t{NextIndex(x, m)} << 16);
      }
    }
    return built;
  }();
  return tables;
}

EncodedBlock EncodeBlock(std::span<const std::uint16_t> u, std::size_t length, std::uint16_t start_index) {
  EncodedBlock block;
  EncodeBlock(u, length, start_index, block);
  return block;
}

void EncodeBlock(std::span<const std::uint16_t> u, std::size_t length, std::uint16_t start_index, EncodedBlock& block) {
  const std::uint16_t header = HeaderWord(u[0], start_index);
  // Length byte, header word, then the codes two to a byte (the earlier one in the low nibble).
  block.bytes.assign(3 + length / 2, 0);
  block.bytes[0] = static_cast<std::uint8_t>(length);
  block.bytes[1] = static_cast<std::uint8_t>(header & 0xFF);
  block.bytes[2] = static_cast<std::uint8_t>(header >> 8);
  block.preview.resize(length);
  block.preview[0] = ToSigned(header);

  // The quantiser's division is done with the exact reciprocals of the trial tables.
  const TrialTables& tables = Trial();
  std::int32_t v = StartPredictor(u[0]);
  std::uint32_t x = start_index;
  std::uint8_t* codes = block.bytes.data() + 3;
  for (std::size_t j = 1; j < length; ++j) {
    const std::uint32_t code = CodeStep(u[j], v, x, tables, tables.codec_move);
    block.preview[j] = ToSigned(static_cast<std::uint16_t>(v));
    codes[(j - 1) / 2] |= static_cast<std::uint8_t>(code << (4 * ((j - 1) % 2)));
  }
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
