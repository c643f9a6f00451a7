// Monitor for platforms without window messages: the device library's hot-plug event source
// (udev, or the virtual-device folder) calls us on its own thread.
#include <os/hotplug.h>

#include "../connection.h"
#include "monitor.h"

namespace velkin::console {

void StartDeviceMonitor() {
  // Kept for the life of the process and deliberately never destroyed: QUIT ends the process
  // from the shell thread, which must not wait for an event that is being handled.
  static auto* source = qm::os::StartHotplugSource([](const qm::os::HotplugEvent& event) {
                          if (event.kind == qm::os::HotplugKind::kArrival) {
                            OnDeviceArrival();
                          } else {
                            OnDeviceRemovalComplete();
                          }
                        }).release();
  (void)source;
}

}  // namespace velkin::console
