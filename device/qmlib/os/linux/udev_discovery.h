// Discovery of SCSI units and their place on the USB, through libudev (sysfs).
#pragma once

#include <libudev.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "device/qmlib/os/discovery.h"

namespace velkin::qm::os::linux_os {

// Every scsi_generic node whose SCSI device is a disk (type 0) or CD-ROM (type 5) unit on the
// USB, disk units first. Per unit:
//   path         its /dev/sgN node
//   name         the USB bus and device numbers and the LUN ("usb1.5.0"): the kernel gives a
//                plugged device the next free device number on its bus, so the name stays the
//                same while the unit stays plugged and changes with a re-plug. (Not the SCSI
//                address: host numbers come from an ID allocator that hands a freed number out
//                again, so a re-plugged unit, or another one, can get the address of a unit
//                that was pulled out.)
//   hardware_id  composed from the SCSI device's padded sysfs vendor, model, rev and type
//                (udev's ID_VENDOR/ID_MODEL are trimmed and exist only on block nodes)
//   usb ids      idVendor/idProduct of the usb_device above it; hub and port as UsbPlaceOf
// A SCSI unit without a USB device above it (an internal disk, a unit on another adapter) is
// left out, as Windows lists only USBSTOR units: its INQUIRY texts alone could match the
// filter, and the unit found would be erased. False when udev cannot be asked at all.
bool ListScsiUnits(DeviceRecords& out);

struct UsbPlace {
  std::int16_t hub = -1;
  std::int16_t port = -1;
};

// Where a usb_device hangs: the port is the last number of its device path ("2.3" -> 3, a
// device on a root hub port "2" -> 2); the hub is HubNumber() of the parent hub. Nothing when a
// number cannot be read (a root hub itself has no port).
std::optional<UsbPlace> UsbPlaceOf(udev_device* usb_device);

// The number by which a tray of units is labelled with hub and port: bus * 128 + the hub's device
// number. Device numbers alone say 1 for every root hub (so units on the root ports of two buses,
// or of a controller's USB 2 and USB 3 halves, would share hub and port); with the bus the number
// names one hub and stays the same while the hub stays plugged. Device numbers run from 1 to 127
// and buses to 255, so the number fits 16 bits. Nothing outside those ranges.
std::optional<std::int16_t> HubNumber(int bus, int devnum);

// The port number of a USB device path or sysfs name ("2.3", "1-2.3"): the number after the last
// '.' or '-'. Nothing for a path without a valid port number.
std::optional<std::int16_t> PortOfDevicePath(std::string_view path);

// The hub and port of the first USB device (in sysfs order) with these identifiers; false when
// there is none. Read fresh each time, so there is no tree to go stale.
bool FindUsbHubPort(std::uint16_t vendor_id, std::uint16_t product_id, std::int16_t& hub, std::int16_t& port);

}  // namespace velkin::qm::os::linux_os
