// Platform backend for a platform that has none yet: it finds no unit, so the library behaves
// as on a machine without the device.
#include "device/qmlib/os/backend.h"

namespace velkin::qm::os {
namespace {

class NoTransport : public Transport {
 public:
  bool Open(const std::string&) override { return false; }
  void Close() override {}
  bool IsOpen() const override { return false; }
  CommandOutcome Carry(const CommandBlock&) override {
    CommandOutcome outcome;
    outcome.kind = OutcomeKind::kDeviceGone;
    return outcome;
  }
};

class NoDevices : public Backend {
 public:
  bool ListDevices(DeviceRecords& out) override {
    out.clear();
    return true;
  }
  std::unique_ptr<Transport> CreateTransport() override { return std::make_unique<NoTransport>(); }
};

}  // namespace

std::shared_ptr<Backend> CreatePlatformBackend() {
  return std::make_shared<NoDevices>();
}

std::unique_ptr<HotplugSource> StartPlatformWindowNotifications(NotifyWindow, HotplugScope) {
  return nullptr;
}

}  // namespace velkin::qm::os
