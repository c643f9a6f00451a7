// The ADPCM block search against the straightforward one kept in the tests, on fuzzer-made blocks:
// every vector path this processor runs must choose the same length and starting index, leave the
// same buffer behind and so code the same bytes. One searcher per path is kept across inputs, as
// the encoder keeps one across blocks (its guesses carry over and must never change a choice).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "encoders/adpcm4/adpcm_codec.h"
#include "encoders/adpcm4/block_search.h"
#include "tests/encoders/adpcm4/reference_search.h"

using velkin::adpcm4::BlockBuffer;
using velkin::adpcm4::BlockSearch;
using velkin::adpcm4::VectorPath;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::unique_ptr<BlockSearch> searches[] = {std::make_unique<BlockSearch>(VectorPath::kEightLanes),
                                                    std::make_unique<BlockSearch>(VectorPath::kSixteenLanes),
                                                    std::make_unique<BlockSearch>(VectorPath::kSixteenLanesAvx512)};
  if (size < 4) return 0;
  // Count and remaining samples of the segment, then the samples; the rest of the buffer stays
  // silent, as after a short read. Samples are built from a few bits each now and then, so that
  // quiet, loud and flat stretches all turn up.
  const std::size_t count = 2 + (data[0] | data[1] << 8) % 264;
  const std::uint32_t remaining = data[2] & 1 ? 100000u : static_cast<std::uint32_t>(2 + data[3] % 300);
  const std::size_t n = count < remaining ? count : remaining;
  data += 4;
  size -= 4;
  BlockBuffer u;
  u.fill(32768);
  for (std::size_t i = 0; i < n && i < u.size(); ++i) {
    std::uint16_t v = 32768;
    if (size >= 2) {
      v = static_cast<std::uint16_t>(data[0] | data[1] << 8);
      data += 2;
      size -= 2;
    }
    u[i] = v;
  }
  BlockBuffer reference_buffer = u;
  const auto reference = velkin::adpcm4::test::ReferenceChoose(reference_buffer, n, remaining);
  const auto want = velkin::adpcm4::EncodeBlock(reference_buffer, reference.length, reference.start_index).bytes;
  for (auto& search : searches) {
    if (!velkin::adpcm4::CanRun(search->path())) continue;
    BlockBuffer fast_buffer = u;
    const auto fast = search->Choose(fast_buffer, n, remaining);
    if (!(fast == reference) || fast_buffer != reference_buffer) std::abort();
    if (velkin::adpcm4::EncodeBlock(fast_buffer, fast.length, fast.start_index).bytes != want) std::abort();
  }
  return 0;
}
