// The Quorvane device object: the device table of the class library with the open flag, the
// opened device's name and the pacing event, always matching the fixed identification texts.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "open_device_table.h"
#include "vendor_commands.h"

namespace velkin::quorvane {

inline constexpr const char* kVendorText = "QUAMIRA";
inline constexpr const char* kProductText = "VOXA CDROM";

// The pause between EEPROM busy polls: a timed wait on an event that nobody signals.
class PacingEvent {
 public:
  void Wait(std::chrono::milliseconds pause);

 private:
  std::mutex mutex_;
  std::condition_variable never_signalled_;
};

class C_QuorvaneDevice : public qm::C_OpenDeviceTable {
 public:
  // Open results other than a device count.
  static constexpr std::int32_t kAlreadyOpen = -2;
  static constexpr std::int32_t kRefreshFailed = -3;
  static constexpr std::int32_t kNotOpened = -4;

  C_QuorvaneDevice() = default;
  ~C_QuorvaneDevice() override;

  // Refused while a device is open; otherwise the open steps of the class library with the fixed
  // texts: the number of listed devices (> 0), or one of the codes above.
  std::int32_t Open();
  // Whether the opened device still answers. False also without an opened device; a device that
  // does not answer is closed and forgotten.
  bool CheckConnection();

  // The name of the opened device, empty while none is open.
  std::string DeviceName();

  // One conversation with the opened device through the vendor command set; false at once while
  // no device is open.
  template <class Body>
  bool WithCommands(Body body) {
    return WithDevice([&](qm::I_QMMassStorageDevice& device) {
      qm::VendorCommands commands(device, [this] { Pause(); });
      return body(commands);
    });
  }

  // One exchange with the opened device itself, under its exchange lock; false at once while no
  // device is open.
  template <class Body>
  bool WithDevice(Body body) {
    const std::string name = DeviceName();
    if (name.empty()) return false;
    bool ok = false;
    const std::int32_t result = Exchange(name.c_str(), [&](qm::I_QMMassStorageDevice& device) {
      ok = body(device);
      return qm::kQmOk;
    });
    return result == qm::kQmOk && ok;
  }

  // A raw command to the opened device, found by its name (16-byte block, 10 s).
  bool SendRaw(const std::uint8_t* cdb, qm::os::DataDirection direction, std::uint8_t* buffer, std::uint32_t length);

 private:
  void Forget(const std::string& name);
  void Pause();

  std::mutex state_lock_;  // the host's threads and the notification thread both call in
  bool open_ = false;
  // A copy: the agent's record the name came from may go with a later refresh.
  std::string name_;
  // Created once a device has been opened, kept until unload.
  std::unique_ptr<PacingEvent> pacing_;
};

}  // namespace velkin::quorvane
