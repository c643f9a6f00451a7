#include "quorvane_device.h"

#include <thread>

namespace velkin::quorvane {

void PacingEvent::Wait(std::chrono::milliseconds pause) {
  std::unique_lock lock(mutex_);
  never_signalled_.wait_for(lock, pause);  // a spurious wake only shortens one poll interval
}

C_QuorvaneDevice::~C_QuorvaneDevice() {
  // Unload: the opened device is closed by name; the base then releases every slot and the agent.
  const std::string name = DeviceName();
  if (!name.empty()) CloseByName(name.c_str());
}

std::string C_QuorvaneDevice::DeviceName() {
  std::lock_guard guard(state_lock_);
  return open_ ? name_ : std::string();
}

std::int32_t C_QuorvaneDevice::Open() {
  {
    std::lock_guard guard(state_lock_);
    if (open_) return kAlreadyOpen;
  }
  SetMatchTexts(kVendorText, kProductText);
  if (Refresh(2) != qm::kQmOk) return kRefreshFailed;

  std::string name;
  std::int32_t count = 0;
  {
    std::lock_guard table_guard(table_lock_);
    if (SelectAndOpen(0) != qm::kQmOk) return kNotOpened;
    qm::C_QMUsbDeviceAgentThreadLock agent_lock;
    const qm::C_QMUsbDeviceInfo* info = agent()->DeviceInfo(0);
    if (info == nullptr) return kNotOpened;
    name = info->Name();
    count = agent()->Count();
  }
  std::lock_guard guard(state_lock_);
  name_ = name;
  open_ = true;
  // Unlike the Farlink object, the pacing event comes after the device has been opened.
  if (!pacing_) pacing_ = std::make_unique<PacingEvent>();
  return count;
}

void C_QuorvaneDevice::Forget(const std::string& name) {
  CloseByName(name.c_str());
  std::lock_guard guard(state_lock_);
  // Only forget what was closed: an open on another thread may have named a new device since.
  if (name_ == name) {
    name_.clear();
    open_ = false;
  }
}

bool C_QuorvaneDevice::CheckConnection() {
  const std::string name = DeviceName();
  if (name.empty()) return false;
  const bool connected = CheckConnectionByName(name.c_str()) == qm::kQmOk;
  if (!connected) Forget(name);
  return connected;
}

bool C_QuorvaneDevice::SendRaw(const std::uint8_t* cdb, qm::os::DataDirection direction, std::uint8_t* buffer,
                               std::uint32_t length) {
  const std::string name = DeviceName();
  if (name.empty()) return false;
  return SendCommandByName(name.c_str(), cdb, direction, buffer, length) == qm::kQmOk;
}

void C_QuorvaneDevice::Pause() {
  PacingEvent* pacing = nullptr;
  {
    std::lock_guard guard(state_lock_);
    pacing = pacing_.get();  // lives until unload once created
  }
  if (pacing != nullptr) {
    pacing->Wait(qm::kBusyPollPause);
  } else {
    std::this_thread::sleep_for(qm::kBusyPollPause);
  }
}

}  // namespace velkin::quorvane
