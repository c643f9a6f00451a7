// The platform backend on Windows: discovery through SetupAPI and the registry, SCSI
// pass-through on the disk interface, hub and port from the USB topology walk, and
// device-change registration for a window.
#include <windows.h>
// dbt.h needs the types of windows.h.
#include <dbt.h>

#include <cstring>

#include "hid_api_wrapper.h"
#include "os/backend.h"
#include "pass_through.h"
#include "setupapi_discovery.h"
#include "usb_topology.h"

namespace velkin::qm::os {
namespace {

static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) == 32);
static_assert(DBT_DEVTYP_DEVICEINTERFACE == 5 && DEVICE_NOTIFY_WINDOW_HANDLE == 0);

class WindowsBackend : public Backend {
 public:
  bool ListDevices(DeviceRecords& out) override { return win::DiscoverMassStorageUnits(out); }

  std::unique_ptr<Transport> CreateTransport() override { return std::make_unique<win::PassThroughTransport>(); }

  bool LookupHubPort(std::uint16_t usb_vendor_id, std::uint16_t usb_product_id, std::int16_t& hub,
                     std::int16_t& port) override {
    return win::ProcessTopology().Lookup(usb_vendor_id, usb_product_id, hub, port);
  }

  void MarkTopologyStale() override { win::ProcessTopology().MarkStale(); }

  // The recipient is a window; it is registered for the arrival and removal of interfaces of
  // the HID class.
  void* RegisterNotifications(void* recipient) override {
    DEV_BROADCAST_DEVICEINTERFACE_A filter;
    std::memset(&filter, 0, sizeof filter);
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = win::ProcessHidApi().HidGuid();
    return win::Api().RegisterDeviceNotificationA(static_cast<HANDLE>(recipient), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  }

  bool UnregisterNotifications(void* handle) override {
    return win::Api().UnregisterDeviceNotification(static_cast<HDEVNOTIFY>(handle)) != FALSE;
  }
};

}  // namespace

std::shared_ptr<Backend> CreatePlatformBackend() {
  return std::make_shared<WindowsBackend>();
}

}  // namespace velkin::qm::os
