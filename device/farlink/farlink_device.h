// The Farlink device object and the single export object behind the FLNK_ functions.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "open_device_table.h"
#include "vendor_commands.h"

namespace velkin::farlink {

// The pause between EEPROM busy polls. It stands where the original library waited on an
// unsignalled event: created when a device is opened, its only use is a 10 ms timed wait.
class PacingWait {
 public:
  void Wait();
};

class C_FarlinkDevice : public qm::C_OpenDeviceTable {
 public:
  C_FarlinkDevice() = default;
  ~C_FarlinkDevice() override;

  // The open steps of FLNK_OpenDevice: the number of listed devices (> 0) on success, -3 when the
  // refresh failed, -4 when device 0 could not be selected and opened.
  std::int32_t OpenDevice(const char* vendor, const char* product);
  void CloseDevice();
  bool IsConnected();
  bool IsOpen();

  // Runs one exchange with the opened device; false at once while no device is open.
  template <class Body>
  bool WithDevice(Body body) {
    const std::string name = DeviceName();
    if (name.empty()) return false;
    bool ok = false;
    const std::int32_t result = Exchange(name.c_str(), [&](qm::I_QMMassStorageDevice& device) {
      qm::VendorCommands commands(device, [this] { pacing_.Wait(); });
      ok = body(commands);
      return qm::kQmOk;
    });
    return result == qm::kQmOk && ok;
  }

 private:
  std::string DeviceName();
  void Forget(const std::string& name);

  // The open flag and the device name, guarded because both of the console's threads call in.
  std::mutex state_lock_;
  bool open_ = false;
  // A copy of the opened device's name: the agent's record it came from may be destroyed by a
  // later refresh while the name is still needed.
  std::string name_;
  PacingWait pacing_;
};

class C_FarlinkApi {
 public:
  C_FarlinkDevice& device() { return device_; }
  void set_connected(bool connected) { connected_ = connected; }
  bool connected() const { return connected_; }

 private:
  std::atomic<bool> connected_{false};
  C_FarlinkDevice device_;
};

C_FarlinkApi& TheApi();

}  // namespace velkin::farlink
