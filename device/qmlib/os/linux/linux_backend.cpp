// The platform backend on Linux: units are the sg nodes libudev lists, commands travel by SG_IO,
// hub and port come from sysfs. Device changes come from a udev monitor (udev_hotplug.cpp), never
// as window messages.
#include "device/qmlib/os/backend.h"
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
};

}  // namespace

std::shared_ptr<Backend> CreatePlatformBackend() {
  return std::make_shared<LinuxBackend>();
}

std::unique_ptr<HotplugSource> StartPlatformWindowNotifications(NotifyWindow, HotplugScope) {
  return nullptr;
}

}  // namespace velkin::qm::os
