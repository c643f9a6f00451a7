#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>

#include "resampler/os/large_memory.h"

namespace velkin::sondrel {

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
}  // namespace

LargeMemory AllocateLargeMemory(std::size_t count) {
  const std::size_t bytes = count * sizeof(std::int16_t);
  // Below half a huge page the values fit the address cache anyway, and take few page faults.
  const std::size_t alignment = bytes >= kHugePage / 2 ? kHugePage : alignof(std::max_align_t);
  if (bytes > SIZE_MAX - alignment) return nullptr;
  const std::size_t rounded = (bytes + alignment - 1) / alignment * alignment;
  void* memory = nullptr;
  if (posix_memalign(&memory, alignment, rounded) != 0) return nullptr;
#ifdef MADV_HUGEPAGE
  if (alignment == kHugePage) madvise(memory, rounded, MADV_HUGEPAGE);  // only advice: may be refused
#endif
  return LargeMemory(static_cast<std::int16_t*>(memory));
}

void LargeMemoryRelease::operator()(std::int16_t* memory) const {
  free(memory);
}

}  // namespace velkin::sondrel
