// The platform backend on Windows: discovery through SetupAPI and the registry, SCSI
// pass-through on the disk interface, hub and port from the USB topology walk. A window's
// registration for device changes is window_notifications.cpp.
#include "device/qmlib/os/backend.h"
#include "pass_through.h"
#include "setupapi_discovery.h"
#include "usb_topology.h"

namespace velkin::qm::os {
namespace {

class WindowsBackend : public Backend {
 public:
  bool ListDevices(DeviceRecords& out) override { return win::DiscoverMassStorageUnits(out); }

  std::unique_ptr<Transport> CreateTransport() override { return std::make_unique<win::PassThroughTransport>(); }

  bool LookupHubPort(std::uint16_t usb_vendor_id, std::uint16_t usb_product_id, std::int16_t& hub,
                     std::int16_t& port) override {
    return win::ProcessTopology().Lookup(usb_vendor_id, usb_product_id, hub, port);
  }

  void MarkTopologyStale() override { win::ProcessTopology().MarkStale(); }
};

}  // namespace

std::shared_ptr<Backend> CreatePlatformBackend() {
  return std::make_shared<WindowsBackend>();
}

}  // namespace velkin::qm::os
