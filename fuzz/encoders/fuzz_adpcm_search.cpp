// The ADPCM block search against the straightforward one kept in the tests, on fuzzer-made blocks:
// at every vector level this processor runs it must choose the same length and starting index,
// leave the same buffer behind and so code the same bytes, and every error its record holds must
// be the one the scalar step (the move table) gives: the vector code's mask arithmetic agrees with
// the table. One searcher per level is kept across inputs, as the encoder keeps one across blocks
// (its guesses carry over and must never change a choice).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <memory>

#include "cpu/vector_level.h"
#include "encoders/adpcm4/adpcm_codec.h"
#include "encoders/adpcm4/block_search.h"
#include "tests/encoders/adpcm4/reference_search.h"

using velkin::adpcm4::BlockBuffer;
using velkin::adpcm4::BlockSearch;
using velkin::cpu::Level;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::unique_ptr<BlockSearch> searches[] = {std::make_unique<BlockSearch>(Level::kSse2),
                                                    std::make_unique<BlockSearch>(Level::kAvx2),
                                                    std::make_unique<BlockSearch>(Level::kAvx512)};
  static const Level levels[] = {Level::kSse2, Level::kAvx2, Level::kAvx512};
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
  for (std::size_t k = 0; k < std::size(searches); ++k) {
    BlockSearch& search = *searches[k];
    if (search.level() != levels[k]) continue;  // not run by this processor
    BlockBuffer fast_buffer = u;
    const auto fast = search.Choose(fast_buffer, n, remaining);
    if (!(fast == reference) || fast_buffer != reference_buffer) std::abort();
    if (velkin::adpcm4::EncodeBlock(fast_buffer, fast.length, fast.start_index).bytes != want) std::abort();
    if (!velkin::adpcm4::test::RecordDifference(search, fast_buffer).empty()) std::abort();
  }
  return 0;
}
