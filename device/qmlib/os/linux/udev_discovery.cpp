#include "udev_discovery.h"

#include <algorithm>
#include <charconv>
#include <string>

#include "device/qmlib/os/hardware_id.h"
#include "udev_handles.h"

namespace velkin::qm::os::linux_os {
namespace {

constexpr int kScsiTypeDisk = 0;
constexpr int kScsiTypeCdRom = 5;

std::string_view Attribute(udev_device* device, const char* name) {
  const char* value = udev_device_get_sysattr_value(device, name);
  std::string_view text = value != nullptr ? value : "";
  // sysfs ends its values with a newline (libudev usually strips it already). The padding blanks
  // of vendor and model are part of the value and stay.
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

template <class T>
std::optional<T> Number(std::string_view text, int base) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

udev_device* UsbDeviceAbove(udev_device* device) {
  // Borrowed from `device`, which keeps its parents alive.
  return udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device");
}

struct UsbIds {
  std::uint16_t vendor = 0xFFFF;
  std::uint16_t product = 0xFFFF;
};

std::optional<UsbIds> IdsOf(udev_device* usb_device) {
  const auto vendor = Number<std::uint16_t>(Attribute(usb_device, "idVendor"), 16);
  const auto product = Number<std::uint16_t>(Attribute(usb_device, "idProduct"), 16);
  if (!vendor || !product) return std::nullopt;
  return UsbIds{*vendor, *product};
}

// The LUN of a SCSI address "H:C:T:L" (its last number), kept to 3 digits so that names stay
// within 16 characters.
std::optional<int> LunOf(std::string_view address) {
  const auto cut = address.rfind(':');
  if (cut == std::string_view::npos) return std::nullopt;
  const auto lun = Number<int>(address.substr(cut + 1), 10);
  if (!lun || *lun < 0 || *lun > 999) return std::nullopt;
  return lun;
}

// The record of one scsi_generic device, or nothing when it is not a disk or CD-ROM unit.
std::optional<DeviceRecord> RecordOf(udev_device* generic, UnitType& type) {
  const char* node = udev_device_get_devnode(generic);
  udev_device* scsi = udev_device_get_parent_with_subsystem_devtype(generic, "scsi", "scsi_device");
  if (node == nullptr || scsi == nullptr) return std::nullopt;
  const auto scsi_type = Number<int>(Attribute(scsi, "type"), 10);
  if (!scsi_type || (*scsi_type != kScsiTypeDisk && *scsi_type != kScsiTypeCdRom)) return std::nullopt;
  type = *scsi_type == kScsiTypeCdRom ? UnitType::kCdRom : UnitType::kDisk;

  udev_device* usb = UsbDeviceAbove(scsi);
  if (usb == nullptr) return std::nullopt;  // not a USB unit
  const char* address = udev_device_get_sysname(scsi);
  const auto bus = Number<int>(Attribute(usb, "busnum"), 10);
  const auto devnum = Number<int>(Attribute(usb, "devnum"), 10);
  const auto lun = LunOf(address != nullptr ? address : "");
  if (!bus || !devnum || !lun) return std::nullopt;

  DeviceRecord record;
  record.path = node;
  record.name = "usb" + std::to_string(*bus) + "." + std::to_string(*devnum) + "." + std::to_string(*lun);
  record.hardware_id =
      ComposeHardwareId(type, Attribute(scsi, "vendor"), Attribute(scsi, "model"), Attribute(scsi, "rev"));
  if (const auto ids = IdsOf(usb)) {
    record.usb_vendor_id = ids->vendor;
    record.usb_product_id = ids->product;
  }
  if (const auto place = UsbPlaceOf(usb)) {
    record.hub = place->hub;
    record.port = place->port;
  }
  return record;
}

// Calls `visit` with every device of `subsystem`, in sysfs order. False when udev cannot list.
template <class Visit>
bool ForEachDevice(udev* context, const char* subsystem, Visit visit) {
  UdevEnumeratePtr enumerate(udev_enumerate_new(context));
  if (!enumerate || udev_enumerate_add_match_subsystem(enumerate.get(), subsystem) < 0 ||
      udev_enumerate_scan_devices(enumerate.get()) < 0) {
    return false;
  }
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
    UdevDevicePtr device(udev_device_new_from_syspath(context, udev_list_entry_get_name(entry)));
    if (device && !visit(device.get())) break;
  }
  return true;
}

}  // namespace

std::optional<std::int16_t> PortOfDevicePath(std::string_view path) {
  const auto cut = path.find_last_of(".-");
  const auto port = Number<std::int16_t>(cut == std::string_view::npos ? path : path.substr(cut + 1), 10);
  if (!port || *port <= 0) return std::nullopt;
  return port;
}

std::optional<UsbPlace> UsbPlaceOf(udev_device* usb_device) {
  udev_device* hub = UsbDeviceAbove(usb_device);
  if (hub == nullptr) return std::nullopt;  // a root hub hangs on no port
  std::string_view path = Attribute(usb_device, "devpath");
  if (path.empty()) {
    const char* sysname = udev_device_get_sysname(usb_device);
    path = sysname != nullptr ? sysname : "";
  }
  const auto port = PortOfDevicePath(path);
  const auto bus = Number<int>(Attribute(hub, "busnum"), 10);
  const auto devnum = Number<int>(Attribute(hub, "devnum"), 10);
  if (!port || !bus || !devnum) return std::nullopt;
  const auto hub_number = HubNumber(*bus, *devnum);
  if (!hub_number) return std::nullopt;
  return UsbPlace{*hub_number, *port};
}

std::optional<std::int16_t> HubNumber(int bus, int devnum) {
  if (bus < 1 || bus > 255 || devnum < 1 || devnum > 127) return std::nullopt;
  return static_cast<std::int16_t>(bus * 128 + devnum);
}

bool ListScsiUnits(DeviceRecords& out) {
  UdevPtr context(udev_new());
  if (!context) return false;
  DeviceRecords disks;
  DeviceRecords cdroms;
  const bool listed = ForEachDevice(context.get(), "scsi_generic", [&](udev_device* generic) {
    UnitType type = UnitType::kDisk;
    if (auto record = RecordOf(generic, type)) (type == UnitType::kCdRom ? cdroms : disks).push_back(*record);
    return true;
  });
  if (!listed) return false;
  // Disk units first, then CD-ROM units, as the system walks its two interface classes.
  disks.insert(disks.end(), cdroms.begin(), cdroms.end());
  out = std::move(disks);
  return true;
}

bool FindUsbHubPort(std::uint16_t vendor_id, std::uint16_t product_id, std::int16_t& hub, std::int16_t& port) {
  UdevPtr context(udev_new());
  if (!context) return false;
  std::optional<UsbPlace> found;
  ForEachDevice(context.get(), "usb", [&](udev_device* device) {
    const char* devtype = udev_device_get_devtype(device);
    if (devtype == nullptr || std::string_view(devtype) != "usb_device") return true;
    const auto ids = IdsOf(device);
    if (!ids || ids->vendor != vendor_id || ids->product != product_id) return true;
    found = UsbPlaceOf(device);
    return !found;  // the first one with a place wins
  });
  if (!found) return false;
  hub = found->hub;
  port = found->port;
  return true;
}

}  // namespace velkin::qm::os::linux_os
