#include <new>

#include "resampler/os/table_memory.h"

namespace velkin::sondrel {

// Large pages on Windows need a privilege that ordinary users lack: plain memory.
TableMemory AllocateTableMemory(std::size_t count) {
  return TableMemory(new (std::nothrow) std::int16_t[count]);
}

void TableMemoryRelease::operator()(std::int16_t* memory) const {
  delete[] memory;
}

}  // namespace velkin::sondrel
