// First-stage silence detection, run at the start of every block by both coding stages.
#pragma once

#include <cstdint>
#include <span>

#include "coding_stage.h"

namespace velkin::encoder {

// A sample u (offset binary) is quiet when 32768 - A < u < 32768 + A. Runs of more than 9 quiet samples
// count: a run at the block's start is skipped as silence, a later one cuts the block.
SilenceScan ScanFirstStageSilence(std::span<const std::uint16_t> samples, std::uint32_t threshold);

}  // namespace velkin::encoder
