#include "quorvane_device.h"

#include <thread>

namespace velkin::quorvane {

void PacingEvent::Wait(std::chrono::milliseconds pause) {
  std::unique_lock lock(mutex_);
  never_signalled_.wait_for(lock, pause);  // a spurious wake only shortens one poll interval
}

std::int32_t C_QuorvaneDevice::Open() {
  if (IsOpen()) return kAlreadyOpen;
  const std::int32_t count = OpenFirst(kVendorText, kProductText);
  if (count > 0) {
    // Unlike the Farlink object, the pacing event comes after the device has been opened.
    std::lock_guard guard(pacing_lock_);
    if (!pacing_) pacing_ = std::make_unique<PacingEvent>();
  }
  return count;
}

void C_QuorvaneDevice::PauseBetweenPolls() {
  PacingEvent* pacing = nullptr;
  {
    std::lock_guard guard(pacing_lock_);
    pacing = pacing_.get();  // lives until unload once created
  }
  if (pacing != nullptr) {
    pacing->Wait(qm::kBusyPollPause);
  } else {
    std::this_thread::sleep_for(qm::kBusyPollPause);
  }
}

}  // namespace velkin::quorvane
