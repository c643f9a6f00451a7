// On Windows the console's monitor and the second export set receive device changes as window
// messages (WM_DEVICECHANGE to their hidden windows); there is no event source to start.
#include "device/qmlib/os/hotplug.h"

namespace velkin::qm::os {

std::unique_ptr<HotplugSource> StartPlatformHotplugSource(HotplugCallback, HotplugScope) {
  return nullptr;
}

}  // namespace velkin::qm::os
