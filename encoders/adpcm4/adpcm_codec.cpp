#include "adpcm_codec.h"

#include "trial_step.h"

namespace velkin::adpcm4 {

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

}  // namespace velkin::adpcm4
