#include "setupapi_discovery.h"

#include <cstdio>
#include <optional>
#include <string>

#include "interface_list.h"
#include "registry_values.h"

namespace velkin::qm::os::win {
namespace {

constexpr const char* kUsbStorEnumKey = "SYSTEM\\CurrentControlSet\\services\\USBSTOR\\Enum";
constexpr const char* kEnumKeyPrefix = "SYSTEM\\CurrentControlSet\\Enum\\";
constexpr DWORD kInstancePathChars = 255;
constexpr DWORD kParentIdPrefixChars = 63;
constexpr DWORD kLocationChars = 255;
constexpr std::size_t kNameChars = 16;

// Index k of the walk: the disk class, then the CD-ROM class; nothing ends the walk.
const GUID* InterfaceClass(int k) {
  switch (k) {
    case 0:
      return &kDiskInterfaceClass;
    case 1:
      return &kCdRomInterfaceClass;
    default:
      return nullptr;
  }
}

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether `text` begins with `prefix`, without regard to case. An empty prefix would claim
// every instance, so it begins nothing.
bool BeginsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (prefix.empty() || text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (Lower(text[i]) != Lower(prefix[i])) return false;
  }
  return true;
}

int WindowsMajorVersion() {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (!Api().GetVersionExA(&version)) return 0;
  return static_cast<int>(version.dwMajorVersion);
}

// Whether USB device instance `usb_instance` (USB\VID_vvvv&PID_pppp\instance, whose key is
// open as `key`) is the parent of the mass-storage instance text: its own instance part begins
// the text (units with a serial number), or the prefix it hands its children does (units without).
bool IsParentOf(std::string_view usb_instance, HKEY key, std::string_view instance) {
  const std::size_t slash = usb_instance.rfind('\\');
  if (slash == std::string_view::npos) return false;
  if (BeginsWithIgnoringCase(instance, usb_instance.substr(slash + 1))) return true;
  const auto prefix = ReadTextValue(key, "ParentIdPrefix", kParentIdPrefixChars);
  return prefix && BeginsWithIgnoringCase(instance, *prefix);
}

// Record for one interface path, or nothing when the path lacks "rev" or the two '#' after it.
std::optional<DeviceRecord> RecordFromInterfacePath(const std::string& path, std::string hardware_id) {
  const std::size_t rev = path.find("rev");
  if (rev == std::string::npos) return std::nullopt;
  const std::size_t first = path.find('#', rev);
  if (first == std::string::npos) return std::nullopt;
  const std::size_t second = path.find('#', first + 1);
  if (second == std::string::npos) return std::nullopt;

  const UsbStorLocation location = LookUpUsbStorInstance(std::string_view(path).substr(first + 1, second - first - 1));
  DeviceRecord record;
  record.path = path;
  // A short instance text lets the name run on into the class part of the path; names are only
  // ever compared with names made the same way.
  record.name = path.substr(first + 1, kNameChars);
  record.hardware_id = std::move(hardware_id);
  record.usb_vendor_id = location.usb_vendor_id;
  record.usb_product_id = location.usb_product_id;
  record.hub = location.hub;
  record.port = location.port;
  return record;
}

}  // namespace

UsbStorLocation LookUpUsbStorInstance(std::string_view instance) {
  UsbStorLocation found;
  UniqueKey usbstor;
  if (!usbstor.OpenMachineKey(kUsbStorEnumKey)) return found;
  const auto count = ReadDwordValue(usbstor.get(), "Count");
  if (!count) return found;

  for (DWORD i = 0; i < *count; ++i) {
    const auto usb_instance = ReadTextValue(usbstor.get(), std::to_string(i).c_str(), kInstancePathChars);
    if (!usb_instance) break;
    UniqueKey device;
    if (!device.OpenMachineKey((kEnumKeyPrefix + *usb_instance).c_str())) break;
    if (!IsParentOf(*usb_instance, device.get(), instance)) continue;

    unsigned vendor = 0;
    unsigned product = 0;
    if (WindowsMajorVersion() < 6) {
      // Earlier systems write the identifiers in mixed case and keep no location text; hub and
      // port are then left to the topology walk.
      if (std::sscanf(usb_instance->c_str(), "USB\\Vid_%04X&Pid_%04X", &vendor, &product) == 2) {
        found.usb_vendor_id = static_cast<std::uint16_t>(vendor);
        found.usb_product_id = static_cast<std::uint16_t>(product);
      }
      break;
    }
    if (std::sscanf(usb_instance->c_str(), "USB\\VID_%04X&PID_%04X", &vendor, &product) == 2) {
      found.usb_vendor_id = static_cast<std::uint16_t>(vendor);
      found.usb_product_id = static_cast<std::uint16_t>(product);
    }
    const auto location = ReadTextValue(device.get(), "LocationInformation", kLocationChars);
    if (!location) continue;
    unsigned port = 0;
    unsigned hub = 0;
    if (std::sscanf(location->c_str(), "Port_#%04X.Hub_#%04X", &port, &hub) == 2) {
      found.port = static_cast<std::int16_t>(port);
      found.hub = static_cast<std::int16_t>(hub);
    }
    break;
  }
  return found;
}

bool DiscoverMassStorageUnits(DeviceRecords& out) {
  out.clear();
  for (int k = 0; const GUID* interface_class = InterfaceClass(k); ++k) {
    DeviceInterfaceList list(*interface_class);
    if (!list.valid()) return k > 0;
    while (auto member = list.Next()) {
      if (auto record = RecordFromInterfacePath(member->path, list.HardwareId(member->device))) {
        out.push_back(std::move(*record));
      }
    }
  }
  return true;
}

}  // namespace velkin::qm::os::win
