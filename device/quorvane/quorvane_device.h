// The Quorvane device object: the opened unit of the class library, always matching the fixed
// identification texts, with the pacing event of its EEPROM busy polls.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "device/qmlib/opened_unit.h"

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

class C_QuorvaneDevice : public qm::C_OpenedUnit {
 public:
  static constexpr std::int32_t kAlreadyOpen = -2;

  // Refused while a device is open; otherwise the open steps with the fixed texts: the number of
  // listed devices (> 0), kAlreadyOpen, kRefreshFailed or kNotOpened.
  std::int32_t Open();

 protected:
  void PauseBetweenPolls() override;

 private:
  std::mutex pacing_lock_;
  // Created once a device has been opened, kept until unload.
  std::unique_ptr<PacingEvent> pacing_;
};

}  // namespace velkin::quorvane
