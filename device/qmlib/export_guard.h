// What the export layers share at the library boundary: results are TRUE (1) or FALSE (0),
// nothing thrown inside (an allocation failure) leaves the library, and a missing buffer for bytes
// that would move is refused before the device is asked anything.
#pragma once

#include <cstdint>

namespace velkin::qm {

inline constexpr std::int32_t kTrue = 1;
inline constexpr std::int32_t kFalse = 0;

inline std::int32_t Truth(bool value) {
  return value ? kTrue : kFalse;
}

// Runs an export's body, turning anything thrown into FALSE.
template <class Body>
std::int32_t Guarded(Body body) noexcept {
  try {
    return body();
  } catch (...) {
    return kFalse;
  }
}

// Byte counts travel cut to 16 bits, so a count whose low 16 bits are 0 moves nothing.
inline bool BufferGiven(const void* buffer, std::uint32_t count = 1) {
  return buffer != nullptr || (count & 0xFFFF) == 0;
}

}  // namespace velkin::qm
