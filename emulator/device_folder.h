// A virtual device on disk: one folder with device.conf, flash.bin and eeprom.bin.
//
// device.conf holds "key = value" lines (blank lines and lines starting with '#' are skipped):
// vendor, product, revision, type (disk or cdrom), usb_vendor_id, usb_product_id, hub, port,
// flash_id (three hexadecimal bytes), trace (1: log every command to trace.log), and the fault
// settings of faults.h. flash.bin is the flash chip (erased bytes are 0xFF), eeprom.bin the
// 256-byte EEPROM. The firmware's state and two lock files join them while the device is used.
//
// A folder of virtual devices holds one subfolder per plugged-in device. Names starting with '.'
// are not devices; velkin-emu keeps unplugged devices under ".unplugged".
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "faults.h"
#include "firmware.h"

namespace velkin::emu {

inline constexpr const char* kConfigFile = "device.conf";
inline constexpr const char* kFlashFile = "flash.bin";
inline constexpr const char* kEepromFile = "eeprom.bin";
inline constexpr const char* kTraceFile = "trace.log";
inline constexpr const char* kUnpluggedFolder = ".unplugged";
// The unit's state between commands (Firmware::SaveState), shared by every program that uses the
// device, with the lock file taken around each command, and the lock file a host takes around
// each exchange (a request and its replies).
inline constexpr const char* kStateFile = "firmware.state";
inline constexpr const char* kStateLockFile = "firmware.lock";
inline constexpr const char* kExchangeLockFile = "exchange.lock";
inline constexpr std::size_t kEepromSize = 256;
// Device (folder) names are kept short and plain.
inline constexpr std::size_t kMaxDeviceName = 16;

struct DeviceConfig {
  Identity identity;
  std::uint16_t usb_vendor_id = 0xC0FE;
  std::uint16_t usb_product_id = 0x0A51;
  std::int16_t hub = 1;
  std::int16_t port = 1;
  bool trace = false;
  Faults faults;
};

// Parses device.conf text. Unknown keys and bad values are errors (reported in `error`).
std::optional<DeviceConfig> ParseDeviceConfig(std::string_view text, std::string* error);
std::string FormatDeviceConfig(const DeviceConfig& config);

std::optional<DeviceConfig> LoadDeviceConfig(const std::filesystem::path& folder, std::string* error);
// Writes device.conf through a temporary file and a rename, so that a reader never sees half a file.
bool SaveDeviceConfig(const std::filesystem::path& folder, const DeviceConfig& config, std::string* error);

// Flash size in bytes from the capacity code of the flash identity (2 to the power of the code;
// 0x14 gives 1 MiB), limited to 64 MiB.
std::size_t FlashSizeForCapacityCode(std::uint8_t code);

// Creates the folder with its three files: erased flash of `flash_size` bytes, zeroed EEPROM.
bool CreateDeviceFolder(const std::filesystem::path& folder, const DeviceConfig& config, std::size_t flash_size,
                        std::string* error);

// A usable device name: 1 to 16 characters from letters, digits, '-' and '_'.
bool IsValidDeviceName(std::string_view name);

}  // namespace velkin::emu
