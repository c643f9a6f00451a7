// Parts of a fake machine for FakeWindows: a mass-storage unit that answers SCSI pass-through
// with the firmware model, USB host controllers and hubs that answer the hub driver's control
// codes, and the registry entries and device nodes that go with them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "emulator/firmware.h"
#include "emulator/storage.h"
#include "fake_windows.h"

namespace velkin::qm::os::win::test {

// ---- a unit behind a disk interface

struct FirmwareUnit {
  explicit FirmwareUnit(emu::Identity identity = {})
      : flash(1 << 20, 0xFF), eeprom(256, 0x00), firmware(std::move(identity), flash, eeprom) {}
  emu::MemoryStorage flash;
  emu::MemoryStorage eeprom;
  emu::Firmware firmware;
};

// The storage adapter behind a unit, as IOCTL_STORAGE_QUERY_PROPERTY (StorageAdapterProperty)
// describes it. A direct record whose buffer misses the alignment, or any record asking for more
// than the largest transfer, fails with ERROR_INVALID_PARAMETER, as Microsoft documents.
struct FakeAdapter {
  bool answers = false;  // false: the query fails (ERROR_INVALID_FUNCTION) and nothing is checked
  std::uint32_t alignment_mask = 0;
  std::uint32_t max_transfer = 0x10000;
};

// Answers IOCTL_SCSI_PASS_THROUGH and IOCTL_SCSI_PASS_THROUGH_DIRECT as a port driver does:
// checks the record against the sizes given, runs the command on the firmware model and writes
// status, transfer length, sense and (buffered) data back into the record.
IoctlHandler PassThroughUnit(std::shared_ptr<FirmwareUnit> unit, FakeAdapter adapter = {});

// ---- USB

struct FakeUsbHub;

struct FakeUsbPort {
  bool connected = false;
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  bool low_speed = false;
  std::string driver_key;           // of the attached device's node in the device tree
  std::shared_ptr<FakeUsbHub> hub;  // an attached hub
};

struct FakeUsbHub {
  std::string name;  // symbolic name, opened as "\\.\<name>"
  std::vector<FakeUsbPort> ports;
  bool knows_newer_request = true;  // answers IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX
};

struct FakeHostController {
  std::string driver_key;
  std::string root_hub_name;
};

// Registers the hub under "\\.\<name>", and every hub attached below it.
void InstallHub(FakeWindows& system, const std::shared_ptr<FakeUsbHub>& hub);
// Registers a host controller under `path` ("\\.\HCD0" or an interface path).
void InstallController(FakeWindows& system, const std::string& path, const FakeHostController& controller);

// A port with a device, and one with a hub.
FakeUsbPort DevicePort(std::uint16_t vendor, std::uint16_t product, const std::string& driver_key);
FakeUsbPort HubPort(std::shared_ptr<FakeUsbHub> hub, const std::string& driver_key);

// The registry key paths the backend reads.
inline const std::string kUsbStorEnum = "SYSTEM\\CurrentControlSet\\services\\USBSTOR\\Enum";
inline const std::string kUsbHubEnum = "SYSTEM\\CurrentControlSet\\services\\usbhub\\Enum";
inline const std::string kEnumRoot = "SYSTEM\\CurrentControlSet\\Enum\\";

// A list key ("Count" and the values "0", "1", ...).
void SetList(FakeWindows& system, const std::string& key, const std::vector<std::string>& entries);

// The interface classes.
inline constexpr GUID kDiskClass{0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
inline constexpr GUID kCdRomClass{0x53F56308, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
inline constexpr GUID kHostControllerClass{
    0x3ABF6F2D, 0x71C4, 0x462A, {0x8A, 0x92, 0x1E, 0x68, 0x61, 0xE6, 0xAF, 0x27}};

}  // namespace velkin::qm::os::win::test
