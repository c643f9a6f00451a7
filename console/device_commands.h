// Commands that report and change what identifies the device: FLASHID, READEEPROM, WRITEEEPROM.
#pragma once

#include <cstdint>
#include <string>

#include "device/qmlib/vendor_command_set.h"

namespace velkin::console {

struct QuotedArg;

// EEPROM addresses of the two 16-byte records: the one the console reads and writes, and the
// product record it only reads.
inline constexpr std::uint32_t kRecordAddress = qm::kEepromRecordAddress;
inline constexpr std::uint32_t kProductAddress = qm::kEepromProductAddress;

// Two upper-case hexadecimal digits per byte, no separators, no line feed.
std::string FormatHex16(const std::uint8_t* bytes);
void PrintHex16(const std::uint8_t* bytes);

// Reads 32 hexadecimal digits (either case) into 16 bytes. The output is cleared first.
// Returns false, leaving the output zero, when a character is not a hexadecimal digit.
bool ParseHex16(const char* text, std::uint8_t* bytes);

// A record given as a quoted argument (WRITEEEPROM, DOWNLOAD's fourth): exactly 32 characters,
// copied into a zero-filled 128-byte buffer and read with ParseHex16.
enum class RecordArg { kOtherLength, kNotHex, kRecord };
RecordArg ParseRecordArg(const QuotedArg& arg, std::uint8_t* record);

void FlashIdCommand(const char* line);
void ReadEepromCommand(const char* line);
void WriteEepromCommand(const char* line);

}  // namespace velkin::console
