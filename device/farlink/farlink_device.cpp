#include "farlink_device.h"

#include <thread>

namespace velkin::farlink {

void PacingWait::Wait() {
  std::this_thread::sleep_for(qm::kBusyPollPause);
}

C_FarlinkDevice::~C_FarlinkDevice() {
  // Unload: the opened device is closed by name; the base then releases every slot and the agent.
  const std::string name = DeviceName();
  if (!name.empty()) CloseByName(name.c_str());
}

std::string C_FarlinkDevice::DeviceName() {
  std::lock_guard guard(state_lock_);
  return open_ ? name_ : std::string();
}

bool C_FarlinkDevice::IsOpen() {
  std::lock_guard guard(state_lock_);
  return open_;
}

std::int32_t C_FarlinkDevice::OpenDevice(const char* vendor, const char* product) {
  SetMatchTexts(vendor, product);
  if (Refresh(2) != qm::kQmOk) return -3;

  std::string name;
  std::int32_t count = 0;
  {
    std::lock_guard table_guard(table_lock_);
    if (SelectAndOpen(0) != qm::kQmOk) return -4;
    qm::C_QMUsbDeviceAgentThreadLock agent_lock;
    const qm::C_QMUsbDeviceInfo* info = agent()->DeviceInfo(0);
    if (info == nullptr) return -4;
    name = info->Name();
    count = agent()->Count();
  }
  std::lock_guard guard(state_lock_);
  name_ = name;
  open_ = true;
  return count;
}

void C_FarlinkDevice::Forget(const std::string& name) {
  CloseByName(name.c_str());
  std::lock_guard guard(state_lock_);
  // Only forget what was closed: an open on the other thread may have named a new device since.
  if (name_ == name) {
    name_.clear();
    open_ = false;
  }
}

void C_FarlinkDevice::CloseDevice() {
  const std::string name = DeviceName();
  if (!name.empty()) Forget(name);
}

bool C_FarlinkDevice::IsConnected() {
  const std::string name = DeviceName();
  if (name.empty()) return false;
  const bool connected = CheckConnectionByName(name.c_str()) == qm::kQmOk;
  if (!connected) Forget(name);
  return connected;
}

C_FarlinkApi& TheApi() {
  // Constructed when the library is loaded and destroyed when it is unloaded.
  static C_FarlinkApi api;
  return api;
}

}  // namespace velkin::farlink
