// The 16-byte EEPROM records as programs show and take them: 32 hexadecimal digits, first byte
// first; and the tray's serial-numbered record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velkin::programming {

using Record = std::array<std::uint8_t, 16>;

// Exactly 32 hexadecimal digits (either case) to 16 bytes; false for anything else, and then
// `out` is left as it was.
bool ParseRecord(std::string_view text, Record* out);
// Bytes as upper-case hexadecimal digits, two per byte, no separators.
std::string HexText(const std::uint8_t* bytes, std::size_t count);
inline std::string RecordText(const Record& record) {
  return HexText(record.data(), record.size());
}

// A serial-numbered record: the first 12 bytes of `prefix`, then `serial` as a 32-bit number,
// most significant byte first, in bytes 12 to 15 (so that it reads as the number in a hex dump).
Record SerialRecord(const Record& prefix, std::uint32_t serial);

}  // namespace velkin::programming
