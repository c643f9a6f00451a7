// Virtual devices on Windows: their arrivals and removals reach a program's hidden window the way
// the system's own do, so that one window procedure serves both.
#pragma once

#include <windows.h>

#include <memory>

#include "device/qmlib/os/hotplug.h"

namespace velkin::qm::os {

// When VELKIN_EMULATOR names a folder, watches it and sends `window` a WM_DEVICECHANGE for every
// unit that appears (DBT_DEVICEARRIVAL) or goes (DBT_DEVICEREMOVECOMPLETE), with a disk-class
// device-interface broadcast record as lParam, as the system does. Null without the variable.
std::unique_ptr<HotplugSource> StartVirtualDeviceMessages(HWND window);

}  // namespace velkin::qm::os
