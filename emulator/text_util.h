// Small text helpers for the key = value files of virtual devices.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velkin::emu {

std::string_view Trim(std::string_view text);
// Decimal, or hexadecimal with a 0x prefix; the whole text must be the number.
std::optional<std::uint64_t> ParseNumber(std::string_view text);
// Hexadecimal bytes, separated by blanks or not ("20 20 14", "202014").
std::optional<std::string> ParseHexBytes(std::string_view text);
std::string HexByte(std::uint8_t value);

}  // namespace velkin::emu
