// Discovery of mass-storage units: the disk and CD-ROM interface classes walked with SetupAPI,
// one record per interface, with the USB identifiers, hub and port the registry keeps for the
// unit.
#pragma once

#include <string>
#include <string_view>

#include "device/qmlib/os/discovery.h"

namespace velkin::qm::os::win {

// The present units, disk units first, then CD-ROM units. False when the disk class cannot be
// listed at all; a CD-ROM class that cannot be listed only ends the walk.
bool DiscoverMassStorageUnits(DeviceRecords& out);

// The identity the registry keeps for a USB mass-storage instance text (the part of the
// interface path between the two '#' that follow "rev"). Unknown values stay 0xFFFF and -1.
struct UsbStorLocation {
  std::uint16_t usb_vendor_id = 0xFFFF;
  std::uint16_t usb_product_id = 0xFFFF;
  std::int16_t hub = -1;
  std::int16_t port = -1;
};
UsbStorLocation LookUpUsbStorInstance(std::string_view instance);

}  // namespace velkin::qm::os::win
