// Monitor for platforms without window messages: the device library's hot-plug event source
// (udev, or the virtual-device folder) calls us on its own thread.
#include "device/qmlib/os/hotplug.h"

#include <utility>

#include "console/connection.h"
#include "monitor.h"

namespace velkin::console {

namespace {

// Owned here and released only by StopDeviceMonitor: never by static teardown, which would run
// while the source's thread may still be calling the libraries.
qm::os::HotplugSource* g_source = nullptr;

}  // namespace

void StartDeviceMonitor() {
  g_source = qm::os::StartHotplugSource([](const qm::os::HotplugEvent& event) {
               if (event.kind == qm::os::HotplugKind::kArrival) {
                 OnDeviceArrival();
               } else {
                 OnDeviceRemovalComplete();
               }
             }).release();
}

void StopDeviceMonitor() {
  // Deleting the source joins its thread, after the event it may be handling.
  delete std::exchange(g_source, nullptr);
}

}  // namespace velkin::console
