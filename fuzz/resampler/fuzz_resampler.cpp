// The resampler with arbitrary factors, flags, channel counts, vector levels, lengths and samples,
// run twice in a row, against the straightforward reference: any accepted configuration must stay inside its
// blocks (the sanitizers watch) and give the reference's samples.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "resampler/resampler.h"
#include "tests/resampler/reference_resampler.h"

namespace {

struct Bytes {
  const std::uint8_t* data;
  std::size_t size;
  std::uint32_t Take(int n) {
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      v = v << 8 | (size ? *data : 0u);
      if (size) ++data, --size;
    }
    return v;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes in{data, size};
  const std::uint32_t flags = in.Take(1);
  const bool large = flags & 1, linear = flags & 2, interpolate = flags & 4;
  const int channels = 1 + static_cast<int>((flags >> 3) % 3);
  // Two 16-bit rates give factors from 1/65535 to 65535, the interesting ones near the limits.
  const double inRate = 1 + in.Take(2), outRate = 1 + in.Take(2);
  const double factor = outRate / inRate;
  const double gain = 0.25 * (1 + in.Take(1) % 8);
  const auto length = static_cast<std::int32_t>(in.Take(2) % 2500);
  const auto outCount = static_cast<std::int32_t>(in.Take(2) % 5000);
  std::vector<std::int16_t> input(static_cast<std::size_t>(length) * channels);
  for (auto& s : input) s = static_cast<std::int16_t>(in.Take(2));

  // Bits 5 and 6 pick the vector level the wings are summed at (a level this processor cannot
  // run is lowered to one it can).
  const auto level = static_cast<velkin::cpu::Level>((flags >> 5) & 3);
  velkin::sondrel::C_Resampler lib(large, linear, interpolate, level);
  if (!lib.configure(factor, channels, gain)) return 0;
  if (!lib.plan().fits) return 0;
  velkin::test::ReferenceResampler ref(large, linear, interpolate);
  ref.configure(factor, channels, gain);
  for (int round = 0; round < 2; ++round) {
    const std::size_t total = static_cast<std::size_t>(outCount) * channels;
    std::vector<std::int16_t> a(total, 0x5A5A), b(total, 0x5A5A);
    std::int32_t na = length, nb = length;
    const std::int32_t ra = lib.run(na, outCount, input.data(), a.data());
    const std::int32_t rb = ref.run(nb, outCount, input.data(), b.data());
    if (ra != rb || na != nb || a != b) std::abort();
  }
  return 0;
}
