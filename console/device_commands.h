// Commands that report and change what identifies the device: FLASHID, READEEPROM, WRITEEEPROM.
#pragma once

#include <cstdint>
#include <string>

namespace velkin::console {

// Two upper-case hexadecimal digits per byte, no separators, no line feed.
std::string FormatHex16(const std::uint8_t* bytes);
void PrintHex16(const std::uint8_t* bytes);

// Reads 32 hexadecimal digits (either case) into 16 bytes. The output is cleared first.
// Returns false, leaving the output zero, when a character is not a hexadecimal digit.
bool ParseHex16(const char* text, std::uint8_t* bytes);

void FlashIdCommand(const char* line);
void ReadEepromCommand(const char* line);
void WriteEepromCommand(const char* line);

}  // namespace velkin::console
