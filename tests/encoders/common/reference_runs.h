// The run rule applied sample by sample, kept as the judge of the run finder that looks at 64
// samples at a time.
#pragma once

#include <cstdint>
#include <span>

#include "encoders/common/coding_stage.h"

namespace velkin::encoder::test {

// The first run of at least `shortest` samples strictly between low and high.
SilenceScan RunsSampleBySample(std::span<const std::uint16_t> u, std::int64_t low, std::int64_t high,
                               std::uint32_t shortest);

}  // namespace velkin::encoder::test
