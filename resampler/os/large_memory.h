// Memory for the filter bank's rows: a few megabytes read all over at random, one output sample
// at a time. On Linux they sit on huge pages where the system offers them, so that those reads do
// not also miss the processor's address cache (about 10% of a 44.1 kHz -> 16 kHz conversion);
// elsewhere, and when huge pages are refused, it is ordinary memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace velkin::sondrel {

struct TableMemoryRelease {
  void operator()(std::int16_t* memory) const;
};
using TableMemory = std::unique_ptr<std::int16_t[], TableMemoryRelease>;

// `count` values, uninitialised; null when memory is short.
TableMemory AllocateTableMemory(std::size_t count);

}  // namespace velkin::sondrel
