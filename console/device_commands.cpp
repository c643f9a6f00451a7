#include "device_commands.h"

#include <velkin/farlink.h>

#include <cstdio>
#include <cstring>

#include "output.h"
#include "shell.h"

namespace velkin::console {

namespace {

constexpr std::size_t kHexRecordLength = 32;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string FormatHex16(const std::uint8_t* bytes) {
  char text[kHexRecordLength + 1];
  for (int k = 0; k < 16; ++k) std::snprintf(text + 2 * k, 3, "%02X", bytes[k]);
  return std::string(text, kHexRecordLength);
}

void PrintHex16(const std::uint8_t* bytes) {
  std::fputs(FormatHex16(bytes).c_str(), stdout);
}

bool ParseHex16(const char* text, std::uint8_t* bytes) {
  std::memset(bytes, 0, 16);
  std::uint8_t parsed[16];
  for (int k = 0; k < 16; ++k) {
    const int high = HexValue(text[2 * k]);
    const int low = high < 0 ? -1 : HexValue(text[2 * k + 1]);
    if (high < 0 || low < 0) return false;
    parsed[k] = static_cast<std::uint8_t>(high * 16 + low);
  }
  std::memcpy(bytes, parsed, 16);
  return true;
}

RecordArg ParseRecordArg(const QuotedArg& arg, std::uint8_t* record) {
  char text[128];
  if (arg.length != static_cast<int>(kHexRecordLength) || !CopyArg(arg, text, sizeof text)) {
    return RecordArg::kOtherLength;
  }
  return ParseHex16(text, record) ? RecordArg::kRecord : RecordArg::kNotHex;
}

void FlashIdCommand(const char* /*line*/) {
  std::uint8_t manufacturer = 0;
  std::uint8_t memory_type = 0;
  std::uint8_t capacity = 0;
  if (FLNK_ReadSpiFlashInfo(&manufacturer, &memory_type, &capacity) == 0) {
    std::printf("%sFLASHID:Unknown\n", kFailure);
    return;
  }
  const char* name = nullptr;
  switch (capacity) {
    case 0x10:
    case 0x11:
      std::printf("%sFLASHID:Unknown\n", kFailure);
      return;
    case 0x13:
      name = "MP2P40";
      break;
    case 0x14:
      name = "M25P80";
      break;
    case 0x15:
      name = "M25P16";
      break;
    case 0x16:
      name = "M25P32";
      break;
    case 0x17:
      name = "M25P64";
      break;
    default:  // 0x12 and every other code print nothing
      return;
  }
  std::printf("%sFLASHID: %s\n", kSuccess, name);
}

void ReadEepromCommand(const char* /*line*/) {
  std::uint8_t record[16] = {};
  if (FLNK_ReadEEPROM_16Byte(kRecordAddress, record) == 0) {
    std::printf("%sREADEEPROM:00000008\n", kSuccess);
    return;
  }
  // Each line goes out in one print so that the other thread's lines cannot cut into it.
  std::printf("%sREADEEPROM:%s\n", kSuccess, FormatHex16(record).c_str());
  if (FLNK_ReadEEPROM_16Byte(kProductAddress, record) != 0) {
    std::printf("%sPRODUCT:%s\n", kSuccess, FormatHex16(record).c_str());
  } else {
    std::printf("%sPRODUCT:Error\n", kFailure);
  }
}

void WriteEepromCommand(const char* line) {
  ArgReader args(line);
  QuotedArg arg;
  std::uint8_t record[16];
  // A record of other than 32 characters, or one that is not all hexadecimal digits, is refused
  // before the device is touched.
  if (!args.Next(&arg) || ParseRecordArg(arg, record) != RecordArg::kRecord) {
    std::printf("\n%s%s:bad parameter\n", kFailure, "WRITEEEPROM");
    return;
  }
  if (FLNK_WriteEEPROM_16Byte(kRecordAddress, record) != 0) {
    // No line feed: the line feed that begins the next prompt ends this line.
    std::printf("%sWRITEEEPROM:%s", kSuccess, FormatHex16(record).c_str());
  } else {
    std::printf("%sWRITEEEPROM:Error\n", kFailure);
  }
}

}  // namespace velkin::console
