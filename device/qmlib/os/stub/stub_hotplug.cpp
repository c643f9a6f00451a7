// Hot-plug source for a platform that has none yet: nothing to watch.
#include "device/qmlib/os/hotplug.h"

namespace velkin::qm::os {

std::unique_ptr<HotplugSource> StartPlatformHotplugSource(HotplugCallback, HotplugScope) {
  return nullptr;
}

}  // namespace velkin::qm::os
