// What the exchange worker and its tests agree on.
#pragma once

#include <cstdint>

namespace velkin::test {

// The EEPROM byte the tests put at each address: every 16-byte record differs from the others.
constexpr std::uint8_t EepromByte(std::uint32_t address) {
  return static_cast<std::uint8_t>(address * 7 + 3);
}

}  // namespace velkin::test
