// A window's registration for device changes: the system sends it WM_DEVICECHANGE for the
// arrival and removal of interfaces of the HID class, until the registration object goes.
#include <windows.h>
// dbt.h needs the types of windows.h.
#include <dbt.h>

#include "device/qmlib/os/backend.h"
#include "hid_api_wrapper.h"
#include "win32_api.h"

namespace velkin::qm::os {
namespace {

static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) == 32);
static_assert(DBT_DEVTYP_DEVICEINTERFACE == 5 && DEVICE_NOTIFY_WINDOW_HANDLE == 0);

class WindowRegistration : public HotplugSource {
 public:
  explicit WindowRegistration(HDEVNOTIFY handle) : handle_(handle) {}
  ~WindowRegistration() override { win::Api().UnregisterDeviceNotification(handle_); }
  WindowRegistration(const WindowRegistration&) = delete;
  WindowRegistration& operator=(const WindowRegistration&) = delete;

 private:
  HDEVNOTIFY handle_;
};

}  // namespace

std::unique_ptr<HotplugSource> StartPlatformWindowNotifications(NotifyWindow window) {
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = win::ProcessHidApi().HidGuid();
  HDEVNOTIFY handle =
      win::Api().RegisterDeviceNotificationA(static_cast<HANDLE>(window.handle), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  if (handle == nullptr) return nullptr;
  return std::make_unique<WindowRegistration>(handle);
}

}  // namespace velkin::qm::os
