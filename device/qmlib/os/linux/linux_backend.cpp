// The platform backend on Linux: units are the sg nodes libudev lists, commands travel by SG_IO,
// hub and port come from sysfs, notifications from a udev monitor.
#include "os/backend.h"
#include "os/hotplug.h"
#include "sg_transport.h"
#include "udev_discovery.h"

namespace velkin::qm::os {
namespace {

class LinuxBackend : public Backend {
 public:
  bool ListDevices(DeviceRecords& out) override { return linux_os::ListScsiUnits(out); }

  std::unique_ptr<Transport> CreateTransport() override { return std::make_unique<linux_os::SgTransport>(); }

  bool LookupHubPort(std::uint16_t usb_vendor_id, std::uint16_t usb_product_id, std::int16_t& hub,
                     std::int16_t& port) override {
    return linux_os::FindUsbHubPort(usb_vendor_id, usb_product_id, hub, port);
  }

  // There is no window to register on Linux. The recipient is a HotplugCallback (a pointer to
  // one, copied here): the registration is a hot-plug source that calls it on its own thread for
  // every arrival and removal, until it is unregistered. A null recipient registers nothing.
  void* RegisterNotifications(void* recipient) override {
    if (recipient == nullptr) return nullptr;
    return StartPlatformHotplugSource(*static_cast<const HotplugCallback*>(recipient)).release();
  }

  // Stops the source and waits for its thread, so it must not be called from the callback.
  bool UnregisterNotifications(void* handle) override {
    delete static_cast<HotplugSource*>(handle);
    return true;
  }
};

}  // namespace

std::shared_ptr<Backend> CreatePlatformBackend() {
  return std::make_shared<LinuxBackend>();
}

}  // namespace velkin::qm::os
