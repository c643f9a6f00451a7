// Discovery of SCSI units and their place on the USB, through libudev (sysfs).
#pragma once

#include <libudev.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "os/discovery.h"

namespace velkin::qm::os::linux_os {

// Every scsi_generic node whose SCSI device is a disk (type 0) or CD-ROM (type 5) unit, disk
// units first. Per unit:
//   path         its /dev/sgN node
//   name         the SCSI address ("4:0:0:0"): the kernel numbers SCSI hosts afresh for every
//                plugged unit and never reuses a number while the system runs, so the address
//                stays the same while the unit stays plugged and differs after a re-plug
//   hardware_id  composed from the SCSI device's padded sysfs vendor, model, rev and type
//                (udev's ID_VENDOR/ID_MODEL are trimmed and exist only on block nodes)
//   usb ids      idVendor/idProduct of the usb_device above it; hub and port as UsbPlaceOf
// Units not on USB keep 0xFFFF and -1. False when udev cannot be asked at all.
bool ListScsiUnits(DeviceRecords& out);

struct UsbPlace {
  std::int16_t hub = -1;
  std::int16_t port = -1;
};

// Where a usb_device hangs: the port is the last number of its device path ("2.3" -> 3, a
// device on a root hub port "2" -> 2); the hub is the parent hub's device number on its bus
// (sysfs devnum: 1 for a root hub). The Windows hub number has no Linux counterpart; the device
// number is what lsusb shows as "Device NNN" and tells hubs on one bus apart. Nothing when
// either number cannot be read (a root hub itself has no port).
std::optional<UsbPlace> UsbPlaceOf(udev_device* usb_device);

// The port number of a USB device path or sysfs name ("2.3", "1-2.3"): the number after the last
// '.' or '-'. Nothing for a path without a valid port number.
std::optional<std::int16_t> PortOfDevicePath(std::string_view path);

// The hub and port of the first USB device (in sysfs order) with these identifiers; false when
// there is none. Read fresh each time, so there is no tree to go stale.
bool FindUsbHubPort(std::uint16_t vendor_id, std::uint16_t product_id, std::int16_t& hub, std::int16_t& port);

}  // namespace velkin::qm::os::linux_os
