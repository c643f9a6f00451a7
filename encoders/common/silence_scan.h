// First-stage silence detection, run at the start of every block by both coding stages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "coding_stage.h"
#include "cpu/vector_level.h"

namespace velkin::encoder {

// The first run of at least `shortest` samples (offset binary) within first..last, both included,
// that ends at a sample out of range or at the last sample: a run at the start is leading, a later
// one inner, ending at the sample after it (or at the last sample when it reaches it). An empty
// range (first > last) holds no sample. With `from`, the samples before it are known to hold no
// such run and to end with a sample out of range: the scan starts there, the block begun.
// `level` picks how many samples are compared at a time; every level finds the same run.
SilenceScan FirstRun(std::span<const std::uint16_t> samples, std::uint16_t first, std::uint16_t last,
                     std::uint32_t shortest, std::size_t from = 0, cpu::Level level = cpu::DefaultLevel());

// A sample u (offset binary) is quiet when 32768 - A < u < 32768 + A. Runs of more than 9 quiet samples
// count: a run at the block's start is skipped as silence, a later one cuts the block.
SilenceScan ScanFirstStageSilence(std::span<const std::uint16_t> samples, std::uint32_t threshold);

// Blocks mostly end long before the samples they scanned, and the next block scans most of them
// again. A scan that found no leading run has seen samples 0 .. R - 1 hold no run of ten and end
// with a loud sample, R being the resume point below; a later scan that starts at one of those
// samples may therefore begin at R, with the audio begun. `from` is that point in the later
// scan's own samples (0: a scan from the start); the result is that of a scan from the start.
SilenceScan ScanFirstStageSilenceFrom(std::span<const std::uint16_t> samples, std::uint32_t threshold,
                                      std::size_t from);
// R for a scan of `samples` that gave `scan` (0 when it found a leading run: nothing to resume).
std::size_t SilenceScanResumePoint(std::span<const std::uint16_t> samples, std::uint32_t threshold,
                                   const SilenceScan& scan);

}  // namespace velkin::encoder
