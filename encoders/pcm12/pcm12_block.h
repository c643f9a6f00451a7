// The 12-bit PCM block format: low-level detection, the near-zero block end, stored words and packing.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace velkin::pcm12 {

inline constexpr std::size_t kBlockSamples = 16384;
inline constexpr std::uint8_t kBlockTag = 0x06;

enum class BlockMode { kNormal, kLowLevel };

struct BlockShape {
  BlockMode mode;
  std::uint32_t length;  // provisional length from the low-level scan, final length after NearZeroEnd
};

// The block length after the first-stage silence scan cut it at an inner silent run of `run` samples
// ending at sample `end` (n samples read).
std::uint32_t LengthBeforeSilence(std::uint32_t end, std::uint32_t run, std::uint32_t n);

// Low-level detection over samples 0 .. J - 1 (J = samples.size()), offset binary: a block that begins with
// more than 255 samples within +-3000 is stored with eight times the resolution.
BlockShape ScanLowLevel(std::span<const std::uint16_t> samples);

// Moves the block end to just after a sample close to zero. `buffer` is the whole block buffer (its
// entries past the `read` samples hold offset-binary silence), `j_limit` the length J the scans used.
std::uint32_t NearZeroEnd(std::span<const std::uint16_t> buffer, std::size_t read, std::uint32_t j_limit,
                          BlockShape provisional);

// The 16-bit word stored for sample u (offset binary); its top 12 bits are the coded value.
std::uint16_t StoredWord(std::uint16_t u, BlockMode mode);

// The whole sample block record: tag, length word, packed 12-bit values.
std::vector<std::uint8_t> BlockRecord(std::span<const std::uint16_t> samples, BlockMode mode);
// The same into `record`, reusing its storage.
void BlockRecord(std::span<const std::uint16_t> samples, BlockMode mode, std::vector<std::uint8_t>& record);

}  // namespace velkin::pcm12
