#include "testbed.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>

namespace velkin::test::linux_bed {
namespace {

constexpr const char* kUsbController = "/devices/pci0000:00/0000:00:14.0";
constexpr const char* kScsiAdapter = "/devices/pci0000:00/0000:00:17.0";

std::string Hex4(std::uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value);
  return text;
}

// Record paths are relative to /sys; the bed's functions take the full path.
std::string SysPath(const std::string& record_path) {
  return "/sys" + record_path;
}
std::string RecordPath(const std::string& sys_path) {
  return sys_path.substr(4);
}

std::string UsbDeviceRecord(const std::string& path, int bus, int devnum, const std::string& devpath,
                            std::uint16_t vendor_id, std::uint16_t product_id, bool hub) {
  return "P: " + path +
         "\n"
         "E: SUBSYSTEM=usb\n"
         "E: DEVTYPE=usb_device\n"
         "A: idVendor=" +
         Hex4(vendor_id) + "\\n\nA: idProduct=" + Hex4(product_id) + "\\n\nA: busnum=" + std::to_string(bus) +
         "\\n\nA: devnum=" + std::to_string(devnum) + "\\n\nA: devpath=" + devpath +
         "\\n\nA: bDeviceClass=" + (hub ? "09" : "00") + "\\n\n\n";
}

// "1-2.3" -> bus 1, devpath "2.3".
int BusOf(const std::string& sysname) {
  return std::stoi(sysname.substr(0, sysname.find('-')));
}
std::string DevpathOf(const std::string& sysname) {
  return sysname.substr(sysname.find('-') + 1);
}

}  // namespace

int NextScsiHost() {
  static std::atomic<int> next{10};
  return next++;
}

Testbed::Testbed() : bed_(umockdev_testbed_new()) {}

Testbed::~Testbed() {
  g_object_unref(bed_);
}

void Testbed::Add(const std::string& records) {
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(bed_, records.c_str(), &error)) {
    ADD_FAILURE() << "test bed refuses the records: " << (error != nullptr ? error->message : "?") << "\n" << records;
    if (error != nullptr) g_error_free(error);
  }
}

void Testbed::AddController(const std::string& path) {
  if (controllers_.insert(path).second) Add("P: " + path + "\nE: SUBSYSTEM=pci\n");
}

std::string Testbed::AddRootHub(int bus) {
  const std::string hub = std::string(kUsbController) + "/usb" + std::to_string(bus);
  AddController(kUsbController);
  Add(UsbDeviceRecord(hub, bus, 1, "0", 0x1D6B, 0x0002, true));
  return SysPath(hub);
}

std::string Testbed::AddHub(const std::string& parent, const std::string& sysname, int devnum) {
  const std::string hub = RecordPath(parent) + "/" + sysname;
  Add(UsbDeviceRecord(hub, BusOf(sysname), devnum, DevpathOf(sysname), 0x1A40, 0x0101, true));
  return SysPath(hub);
}

Unit Testbed::PlugUsbUnit(const std::string& hub, const std::string& sysname, const UsbIdentity& usb,
                          const ScsiIdentity& scsi, int sg, int host) {
  const std::string device = RecordPath(hub) + "/" + sysname;
  const std::string interface = device + "/" + sysname + ":1.0";
  Add(UsbDeviceRecord(device, BusOf(sysname), usb.devnum, DevpathOf(sysname), usb.vendor_id, usb.product_id, false) +
      "P: " + interface + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=usb-storage\n\n");
  Unit unit = PlugScsiBelow(interface, {SysPath(device), SysPath(interface)}, scsi, sg, host);
  unit.name = "usb" + std::to_string(BusOf(sysname)) + "." + std::to_string(usb.devnum) + ".0";
  return unit;
}

Unit Testbed::PlugPciScsiUnit(const ScsiIdentity& scsi, int sg) {
  AddController(kScsiAdapter);
  return PlugScsiBelow(kScsiAdapter, {}, scsi, sg, -1);
}

Unit Testbed::PlugScsiBelow(const std::string& parent, std::vector<std::string> paths, const ScsiIdentity& scsi, int sg,
                            int host_number) {
  const std::string h = std::to_string(host_number >= 0 ? host_number : NextScsiHost());
  const std::string n = std::to_string(sg);
  const std::string address = h + ":0:0:0";
  const std::string host = parent + "/host" + h;
  const std::string target = host + "/target" + h + ":0:0";
  const std::string device = target + "/" + address;
  const std::string generic = device + "/scsi_generic/sg" + n;
  // "dev" is written without a newline: with one, adding the node again after a removal aborts.
  Add("P: " + host + "\nE: SUBSYSTEM=scsi\nE: DEVTYPE=scsi_host\n\n" + "P: " + target +
      "\nE: SUBSYSTEM=scsi\nE: DEVTYPE=scsi_target\n\n" + "P: " + device +
      "\nE: SUBSYSTEM=scsi\nE: DEVTYPE=scsi_device\nA: vendor=" + scsi.vendor + "\\n\nA: model=" + scsi.model +
      "\\n\nA: rev=" + scsi.rev + "\\n\nA: type=" + std::to_string(scsi.type) + "\\n\n\n" + "P: " + generic +
      "\nN: sg" + n + "=00\nL: device=../../../" + address + "\nE: SUBSYSTEM=scsi_generic\nE: DEVNAME=/dev/sg" + n +
      "\nA: dev=21:" + n + "\n");
  for (const auto& path : {host, target, device, generic}) paths.push_back(SysPath(path));
  return Unit{paths, "/dev/sg" + n, address, ""};
}

void Testbed::Unplug(const Unit& unit) {
  for (auto it = unit.paths.rbegin(); it != unit.paths.rend(); ++it) {
    umockdev_testbed_uevent(bed_, it->c_str(), "remove");
    umockdev_testbed_remove_device(bed_, it->c_str());
  }
}

void Testbed::AttachIoctl(const std::string& devnode, UMockdevIoctlBase* handler) {
  GError* error = nullptr;
  // A node added again after an unplug keeps its earlier handler, which open descriptors of the
  // pulled unit may still be talking to; a new one replaces it.
  if (!attached_.insert(devnode).second) umockdev_testbed_detach_ioctl(bed_, devnode.c_str(), nullptr);
  if (!umockdev_testbed_attach_ioctl(bed_, devnode.c_str(), handler, &error)) {
    ADD_FAILURE() << "cannot attach the ioctl handler to " << devnode << ": "
                  << (error != nullptr ? error->message : "?");
    if (error != nullptr) g_error_free(error);
  }
}

}  // namespace velkin::test::linux_bed
