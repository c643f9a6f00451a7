// The run finder behind the silence and low-level scans, which looks at 64 samples at a time, at
// every vector level against the rule applied sample by sample, on fuzzer-made ranges, run lengths
// and samples.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "cpu/vector_level.h"
#include "encoders/common/silence_scan.h"
#include "tests/encoders/common/reference_runs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 6) return 0;
  // Range ends and the shortest run, then the samples. A sample byte pair is often taken
  // near a range end, so that runs in and out of the range both turn up.
  const auto first = static_cast<std::uint16_t>(data[0] | data[1] << 8);
  const auto last = static_cast<std::uint16_t>(data[2] | data[3] << 8);
  const std::uint32_t shortest = 1 + (data[4] | data[5] << 8) % 300;
  std::vector<std::uint16_t> u;
  for (std::size_t i = 6; i + 1 < size; i += 2) {
    const auto raw = static_cast<std::uint16_t>(data[i] | data[i + 1] << 8);
    const std::uint16_t near = (raw & 0x8000) ? first : last;
    u.push_back((raw & 0x4000) ? static_cast<std::uint16_t>(near + (raw & 3) - 1) : raw);
  }
  const auto want =
      velkin::encoder::test::RunsSampleBySample(u, std::int64_t{first} - 1, std::int64_t{last} + 1, shortest);
  for (const auto level : {velkin::cpu::Level::kPlain, velkin::cpu::Level::kSse2}) {
    const auto fast = velkin::encoder::FirstRun(u, first, last, shortest, 0, level);
    if (fast.kind != want.kind || fast.run != want.run || fast.end != want.end) std::abort();
  }
  return 0;
}
