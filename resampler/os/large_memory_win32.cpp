#include <new>

#include "resampler/os/large_memory.h"

namespace velkin::sondrel {

// Large pages on Windows need a privilege that ordinary users lack: plain memory.
LargeMemory AllocateLargeMemory(std::size_t count) {
  return LargeMemory(new (std::nothrow) std::int16_t[count]);
}

void LargeMemoryRelease::operator()(std::int16_t* memory) const {
  delete[] memory;
}

}  // namespace velkin::sondrel
