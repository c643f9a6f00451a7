// Memory for the resampler's large arrays of 16-bit values, never cleared by us: the filter bank's
// rows (a few megabytes read all over at random, one output sample at a time) and the converter's
// whole-file sample buffers (tens of megabytes, each filled once). On Linux they sit on huge pages
// where the system offers them: the rows' reads then do not also miss the processor's address
// cache (about 10% of a 44.1 kHz -> 16 kHz conversion), and a buffer is mapped in with a
// five-hundredth of the page faults (a tenth of the CPU time of converting 60 s as a process of
// its own). Elsewhere, and when huge pages are refused, it is ordinary memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace velkin::sondrel {

struct LargeMemoryRelease {
  void operator()(std::int16_t* memory) const;
};
using LargeMemory = std::unique_ptr<std::int16_t[], LargeMemoryRelease>;

// `count` values, uninitialised; null when memory is short.
LargeMemory AllocateLargeMemory(std::size_t count);

}  // namespace velkin::sondrel
