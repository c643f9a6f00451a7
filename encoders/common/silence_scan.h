// First-stage silence detection, run at the start of every block by both coding stages.
#pragma once

#include <cstdint>
#include <span>

#include "coding_stage.h"

namespace velkin::encoder {

// The first run of at least `shortest` samples (offset binary) within first..last, both included,
// that ends at a sample out of range or at the last sample: a run at the start is leading, a later
// one inner, ending at the sample after it (or at the last sample when it reaches it). An empty
// range (first > last) holds no sample.
SilenceScan FirstRun(std::span<const std::uint16_t> samples, std::uint16_t first, std::uint16_t last,
                     std::uint32_t shortest);

// A sample u (offset binary) is quiet when 32768 - A < u < 32768 + A. Runs of more than 9 quiet samples
// count: a run at the block's start is skipped as silence, a later one cuts the block.
SilenceScan ScanFirstStageSilence(std::span<const std::uint16_t> samples, std::uint32_t threshold);

}  // namespace velkin::encoder
