// A umockdev test bed with the pieces a Linux machine shows for USB and SCSI units: a USB host
// controller with its root hub, external hubs, USB mass-storage units, SCSI units on a PCI host
// adapter, each down to its /dev/sgN node. libudev in this process sees the bed instead of the
// real /sys (the process runs with libumockdev-preload, see umockdev_main.cpp).
#pragma once

#include <umockdev.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace velkin::test::linux_bed {

// The SCSI device's sysfs attributes, as the kernel writes them from the INQUIRY data: vendor
// and model blank-padded to 8 and 16 characters.
struct ScsiIdentity {
  std::string vendor = "QUAMIRA ";
  std::string model = "VOXA CDROM      ";
  std::string rev = "1.00";
  int type = 5;  // 0 disk, 5 CD-ROM, 13 enclosure, ...
};

struct UsbIdentity {
  std::uint16_t vendor_id = 0xC0FE;
  std::uint16_t product_id = 0x0A51;
  int devnum = 5;
};

// A plugged unit: its sysfs paths (parents first) and what discovery should report for it.
struct Unit {
  std::vector<std::string> paths;  // "/sys/devices/..."
  std::string devnode;             // "/dev/sgN"
  std::string address;             // SCSI address "H:0:0:0"
  std::string name;                // the name discovery gives a USB unit: "usb<bus>.<devnum>.<lun>"
};

class Testbed {
 public:
  Testbed();
  ~Testbed();
  Testbed(const Testbed&) = delete;
  Testbed& operator=(const Testbed&) = delete;

  UMockdevTestbed* get() const { return bed_; }

  // A USB host controller on the PCI bus with the root hub "usb<bus>" (device number 1).
  // Returns the root hub's sysfs path.
  std::string AddRootHub(int bus);
  // An external hub on `parent` (a hub's sysfs path) at `sysname` ("1-2"). Returns its path.
  std::string AddHub(const std::string& parent, const std::string& sysname, int devnum);

  // A USB mass-storage unit on `hub` at `sysname` ("1-2.3"): the usb_device, its usb-storage
  // interface, a new SCSI host, the SCSI device and its sg node /dev/sg<sg>. The bed announces
  // every new device with an "add" uevent, parents first, as the kernel does.
  // `host` is the SCSI host number, the next unused one when -1 (a test gives a freed one to
  // show the kernel handing it out again).
  Unit PlugUsbUnit(const std::string& hub, const std::string& sysname, const UsbIdentity& usb, const ScsiIdentity& scsi,
                   int sg, int host = -1);
  // A SCSI unit on a PCI host adapter (no USB above it).
  Unit PlugPciScsiUnit(const ScsiIdentity& scsi, int sg);
  // Pulls the unit out: a "remove" uevent for each of its devices, deepest first, and the
  // devices leave the bed (removing a device sends no uevent by itself).
  void Unplug(const Unit& unit);

  // Answers every ioctl on `devnode` with `handler` (an UMockdevIoctlBase), in place of any
  // handler attached to it before.
  void AttachIoctl(const std::string& devnode, UMockdevIoctlBase* handler);

 private:
  void Add(const std::string& records);
  void AddController(const std::string& path);
  Unit PlugScsiBelow(const std::string& parent_record_path, std::vector<std::string> paths, const ScsiIdentity& scsi,
                     int sg, int host);

  UMockdevTestbed* bed_;
  std::set<std::string> controllers_;
  std::set<std::string> attached_;
};

// Host numbers are handed out once per process, as the kernel numbers SCSI hosts once per boot.
int NextScsiHost();

}  // namespace velkin::test::linux_bed
