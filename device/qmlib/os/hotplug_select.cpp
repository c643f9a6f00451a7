// Picks the hot-plug source the same way ActiveBackend() picks the backend.
#include <cstdlib>
#include <string>

#include "device/qmlib/os/backend.h"
#include "device/qmlib/os/hotplug.h"

namespace velkin::qm::os {

std::unique_ptr<HotplugSource> StartHotplugSource(HotplugCallback callback, HotplugScope scope) {
  const char* value = std::getenv(kEmulatorVariable);
  if (value != nullptr && *value != '\0') return StartEmulatedHotplugSource(value, std::move(callback));
  return StartPlatformHotplugSource(std::move(callback), scope);
}

}  // namespace velkin::qm::os
