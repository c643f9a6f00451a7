// Hot-plug seam: device arrival and removal, delivered to one recipient. Every way of hearing of
// device changes is one of these registrations (a HotplugSource): a callback on a thread of the
// event source, or, where the system tells windows (Windows), a window. A registration owns what
// it registered with and gives it up when destroyed, whatever the environment says by then.
//
// This part is a small static library of its own (velkin_qm_hotplug) so that a program's
// monitor can link it directly: no exported function offers events. It picks its source the
// same way the device library picks its backend (backend.h): the virtual-device folder named by
// VELKIN_EMULATOR when that is set, the platform's source otherwise.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <variant>

namespace velkin::qm::os {

enum class HotplugKind { kArrival, kRemoval };

struct HotplugEvent {
  HotplugKind kind = HotplugKind::kArrival;
  // Which unit, for information only (a folder name, a device node): receivers act on the kind
  // and ask the device library what is there, as the window notifications are used on Windows.
  std::string device;
};

// What a source watches. kStorageUnits: the units the device library drives (on Linux their sg
// nodes), for receivers that act on units coming and going. kInterfaceClasses: the device
// interface classes that Quorvane registers for on Windows, USB devices, disks, HID devices and
// network adapters (on Linux usb_device, block disks, hidraw nodes and net interfaces), for a
// receiver that answers any of those changes with a look at its unit. The virtual-device folder
// holds only units and reports them for either scope.
enum class HotplugScope { kStorageUnits, kInterfaceClasses };

// Called on the source's own thread, one event at a time, in the order the changes were seen.
using HotplugCallback = std::function<void(const HotplugEvent&)>;

// A window that receives WM_DEVICECHANGE messages: an HWND, opaque here so that this header needs
// no system header. Only Windows has them.
struct NotifyWindow {
  void* handle = nullptr;
};

// Who a registration tells.
using HotplugRecipient = std::variant<HotplugCallback, NotifyWindow>;

class HotplugSource {
 public:
  // Stops watching (joins the source's thread, or gives up the system's registration). Must not
  // be called from inside the callback.
  virtual ~HotplugSource() = default;
};

// Starts watching: the emulated source when VELKIN_EMULATOR names a folder, otherwise the
// platform's. Null when there is nothing to watch with (a platform without a source).
std::unique_ptr<HotplugSource> StartHotplugSource(HotplugCallback callback,
                                                  HotplugScope scope = HotplugScope::kStorageUnits);

// The two kinds of source, for callers that want one explicitly (tests).
std::unique_ptr<HotplugSource> StartEmulatedHotplugSource(const std::string& root, HotplugCallback callback);
std::unique_ptr<HotplugSource> StartPlatformHotplugSource(HotplugCallback callback,
                                                          HotplugScope scope = HotplugScope::kStorageUnits);

}  // namespace velkin::qm::os
