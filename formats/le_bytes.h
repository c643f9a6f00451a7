// Little-endian loads and stores for file and wire bytes. Every reader and writer of the system's file
// formats goes through these rather than casting bytes to structs, so byte order and alignment never
// depend on the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velkin::bytes {

inline std::uint16_t LoadU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t LoadU24(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16);
}

inline std::uint32_t LoadU32(const std::uint8_t* p) {
  return LoadU24(p) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline std::uint16_t LoadU16(std::span<const std::uint8_t> b, std::size_t at) {
  return LoadU16(&b[at]);
}
inline std::uint32_t LoadU24(std::span<const std::uint8_t> b, std::size_t at) {
  return LoadU24(&b[at]);
}
inline std::uint32_t LoadU32(std::span<const std::uint8_t> b, std::size_t at) {
  return LoadU32(&b[at]);
}

inline void StoreU16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void StoreU32(std::uint8_t* p, std::uint32_t v) {
  StoreU16(p, v);
  StoreU16(p + 2, v >> 16);
}

inline void AppendU8(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
}

inline void AppendU16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

inline void AppendU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  AppendU16(out, v);
  AppendU16(out, v >> 16);
}

}  // namespace velkin::bytes
