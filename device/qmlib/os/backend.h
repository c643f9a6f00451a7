// Backend selection for the device class library.
//
// The portable core (device objects, vendor commands, discovery records, the agent, the device
// table) reaches the system only through a Backend: a list of present units (discovery.h), a
// transport per device object (transport.h), and a few optional hooks. Hot-plug events are a
// separate seam (hotplug.h) because a program's monitor links them without the rest; the agent's
// registration for device changes (RegisterDeviceNotifications below) is made of its pieces.
//
// Which backend: when the environment variable VELKIN_EMULATOR names a folder, the virtual
// devices in that folder (os/emulated/); otherwise the platform backend.
//
// How a platform backend plugs in: the folder device/qmlib/os/<platform>/ has a CMakeLists.txt
// that defines two static libraries and is picked by device/qmlib/CMakeLists.txt for its
// platform (os/stub/ stands in while a platform has none):
//   velkin_qm_platform          defines CreatePlatformBackend() and
//                               StartPlatformWindowNotifications() below
//   velkin_qm_platform_hotplug  defines StartPlatformHotplugSource() of hotplug.h
// Both link velkin_qm_os (these headers) and may use velkin_emulator; nothing else in the
// library changes. Platform code stays inside its folder.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "discovery.h"
#include "hotplug.h"
#include "transport.h"

namespace velkin::qm::os {

class Backend {
 public:
  virtual ~Backend() = default;

  // Fills `out` with the present units, disk units first, then CD-ROM units. False when the
  // system's device list cannot be read at all (the agent then empties its list). Called under
  // the agent lock.
  virtual bool ListDevices(DeviceRecords& out) = 0;

  // A closed transport for one device object.
  virtual std::unique_ptr<Transport> CreateTransport() = 0;

  // Hub and port of the USB device with the given identifiers, for a record that lacks them
  // (the topology walk). False leaves both unknown.
  virtual bool LookupHubPort(std::uint16_t /*usb_vendor_id*/, std::uint16_t /*usb_product_id*/, std::int16_t& /*hub*/,
                             std::int16_t& /*port*/) {
    return false;
  }
  // Called after each enumeration of the agent: the next hub/port lookup rebuilds its tree.
  virtual void MarkTopologyStale() {}
};

// The backend for the current environment. VELKIN_EMULATOR is looked at on every call, so a
// process (a test) that points it elsewhere gets the backend of the new folder from then on;
// transports already handed out keep working with their own backend.
std::shared_ptr<Backend> ActiveBackend();

// Defined by the platform folder (velkin_qm_platform).
std::shared_ptr<Backend> CreatePlatformBackend();

// Defined by the platform folder (velkin_qm_platform): registers `window` for the system's
// WM_DEVICECHANGE messages about the interfaces of `scope`: the HID class for kStorageUnits (what
// the agent listens to), the four classes of HotplugScope for kInterfaceClasses (Quorvane's hidden
// window). Every registration goes through the platform's system-call table, so a test's stand-in
// for the system sees it. Null where there are no windows, or when the system refuses every class.
std::unique_ptr<HotplugSource> StartPlatformWindowNotifications(NotifyWindow window,
                                                                HotplugScope scope = HotplugScope::kStorageUnits);

// The agent's registration for device changes, chosen like ActiveBackend(): a callback gets the
// events of the units (StartHotplugSource); a window is registered with the system
// (StartPlatformWindowNotifications) unless VELKIN_EMULATOR is set, as virtual devices raise no
// system messages. Null when nothing was registered (an empty recipient, or none to be had).
std::unique_ptr<HotplugSource> RegisterDeviceNotifications(const HotplugRecipient& recipient);

// Defined by os/emulated: virtual devices in the folder `root`.
std::shared_ptr<Backend> CreateEmulatedBackend(const std::string& root);

// Name of the environment variable that selects virtual devices.
inline constexpr const char* kEmulatorVariable = "VELKIN_EMULATOR";

}  // namespace velkin::qm::os
