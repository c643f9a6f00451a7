// A window's registration for device changes: the system sends it WM_DEVICECHANGE for the
// arrival and removal of interfaces of the registered classes, until the registration object goes.
#include <windows.h>
// dbt.h needs the types of windows.h.
#include <dbt.h>

#include <array>
#include <vector>

#include "device/qmlib/os/backend.h"
#include "hid_api_wrapper.h"
#include "win32_api.h"

namespace velkin::qm::os {
namespace {

static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) == 32);
static_assert(DBT_DEVTYP_DEVICEINTERFACE == 5 && DEVICE_NOTIFY_WINDOW_HANDLE == 0);

// The interface classes of HotplugScope::kInterfaceClasses: USB devices, disks, HID devices and
// network adapters.
constexpr std::array<GUID, 4> kInterfaceClasses = {{
    {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}},
    {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}},
    {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}},
    {0xAD498944, 0x762F, 0x11D0, {0x8D, 0xCB, 0x00, 0xC0, 0x4F, 0xC3, 0x35, 0x8C}},
}};

class WindowRegistration : public HotplugSource {
 public:
  explicit WindowRegistration(std::vector<HDEVNOTIFY> handles) : handles_(std::move(handles)) {}
  ~WindowRegistration() override {
    for (HDEVNOTIFY handle : handles_) win::Api().UnregisterDeviceNotification(handle);
  }
  WindowRegistration(const WindowRegistration&) = delete;
  WindowRegistration& operator=(const WindowRegistration&) = delete;

 private:
  std::vector<HDEVNOTIFY> handles_;
};

HDEVNOTIFY Register(NotifyWindow window, const GUID& interface_class) {
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = interface_class;
  return win::Api().RegisterDeviceNotificationA(static_cast<HANDLE>(window.handle), &filter,
                                                DEVICE_NOTIFY_WINDOW_HANDLE);
}

}  // namespace

std::unique_ptr<HotplugSource> StartPlatformWindowNotifications(NotifyWindow window, HotplugScope scope) {
  std::vector<HDEVNOTIFY> handles;
  if (scope == HotplugScope::kStorageUnits) {
    if (HDEVNOTIFY handle = Register(window, win::ProcessHidApi().HidGuid())) handles.push_back(handle);
  } else {
    // A class the system refuses only means that its changes go unheard; the others still count.
    for (const GUID& interface_class : kInterfaceClasses) {
      if (HDEVNOTIFY handle = Register(window, interface_class)) handles.push_back(handle);
    }
  }
  if (handles.empty()) return nullptr;
  return std::make_unique<WindowRegistration>(std::move(handles));
}

}  // namespace velkin::qm::os
