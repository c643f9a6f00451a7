// Discovery seam: the present SCSI units as device records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velkin::qm::os {

struct DeviceRecord {
  // What Transport::Open of the same backend takes (a device interface path, /dev/sgN, a folder).
  std::string path;
  // A short text that stays the same while the unit stays plugged in (at most 16 characters are
  // kept by the device record). Only compared with names made by the same backend.
  std::string name;
  // "USBSTOR\Disk" or "USBSTOR\CdRom", then the 8 vendor and 16 product characters of the
  // unit's INQUIRY data with blanks as underscores, then the revision: see hardware_id.h.
  std::string hardware_id;
  std::uint16_t usb_vendor_id = 0xFFFF;  // 0xFFFF: unknown
  std::uint16_t usb_product_id = 0xFFFF;
  std::int16_t hub = -1;  // -1: unknown
  std::int16_t port = -1;
};

// Records come in the order the device list should show them: disk units first, then CD-ROM
// units (the order in which the system walks its two interface classes).
using DeviceRecords = std::vector<DeviceRecord>;

}  // namespace velkin::qm::os
