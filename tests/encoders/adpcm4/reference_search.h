// The block search written out step by step, exactly as the format defines it: every trial runs
// from the first sample, every length pass tries all 121 starting indexes in order. Slow, and
// kept only as the yardstick the production search must match byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "encoders/adpcm4/block_search.h"

namespace velkin::adpcm4::test {

// Error of one trial run of length `length` from starting index `start`, abandoned as soon as
// it exceeds `best` or `budget` (the error reached so far is returned then).
std::uint64_t ReferenceTrial(const BlockBuffer& u, std::size_t length, std::uint16_t start, std::uint64_t best,
                             std::uint64_t budget);

// Length search, refinement, odd length, final index search and segment-end take-in.
BlockChoice ReferenceChoose(BlockBuffer& u, std::size_t count, std::uint32_t remaining);

// Where the record of the search's last side-by-side run first differs from the trials coded one
// at a time with the scalar step (CodeStep and its move table), misses counted as the record
// counts them; empty when every error the record gives is that trial's. This is where the vector
// code's mask arithmetic meets the table. A record that no longer describes `u` is not read.
std::string RecordDifference(const BlockSearch& search, const BlockBuffer& u);

}  // namespace velkin::adpcm4::test
