#include "opened_unit.h"

#include <cstdio>
#include <mutex>
#include <set>
#include <thread>

namespace velkin::qm {
namespace {

// Says on stderr, once per unit and error in a process, why a unit that matches cannot be used.
// The program's standard output stays as specified (another program may be parsing it); without
// this line a user without access to the unit, or with the unit held by another program, would
// see only that no unit was found.
void SayUnopenable(const std::vector<C_QMUsbDeviceInfo>& units) {
  static auto* lock = new std::mutex;
  static auto* said = new std::set<std::string>;
  std::lock_guard guard(*lock);
  for (const auto& unit : units) {
    const std::string text = "found " + std::string(unit.VendorText()) + " " + unit.ProductText() + " at " +
                             unit.InterfacePath() + " but cannot open it: " + unit.OpenErrorText() +
                             "; see README, Access\n";
    if (!said->insert(text).second) continue;
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
  }
}

}  // namespace

C_OpenedUnit::~C_OpenedUnit() {
  // Unload: the opened device is closed by name; the base then releases every slot and the agent.
  const std::string name = DeviceName();
  if (!name.empty()) CloseByName(name.c_str());
}

bool C_OpenedUnit::IsOpen() {
  std::lock_guard guard(state_lock_);
  return open_;
}

std::string C_OpenedUnit::DeviceName() {
  std::lock_guard guard(state_lock_);
  return open_ ? name_ : std::string();
}

std::int32_t C_OpenedUnit::OpenListed(const char* vendor, const char* product, const char* wanted) {
  SetMatchTexts(vendor, product);
  if (Refresh(2) != kQmOk) return kRefreshFailed;
  SayUnopenable(agent()->UnopenableDevices());

  std::string name;
  std::int32_t count = 0;
  {
    std::lock_guard table_guard(table_lock_);
    const std::int32_t index = wanted != nullptr ? ListIndexOfName(wanted) : 0;
    if (index < 0 || SelectAndOpen(index) != kQmOk) return kNotOpened;
    C_QMUsbDeviceAgentThreadLock agent_lock;
    const C_QMUsbDeviceInfo* info = agent()->DeviceInfo(index);
    if (info == nullptr) return kNotOpened;
    name = info->Name();
    count = agent()->Count();
  }
  std::lock_guard guard(state_lock_);
  name_ = name;
  open_ = true;
  return count;
}

void C_OpenedUnit::Forget(const std::string& name) {
  CloseByName(name.c_str());
  std::lock_guard guard(state_lock_);
  // Only forget what was closed: an open on another thread may have named a new device since.
  if (name_ == name) {
    name_.clear();
    open_ = false;
  }
}

void C_OpenedUnit::CloseDevice() {
  const std::string name = DeviceName();
  if (!name.empty()) Forget(name);
}

bool C_OpenedUnit::CheckConnection() {
  const std::string name = DeviceName();
  if (name.empty()) return false;
  const bool connected = CheckConnectionByName(name.c_str()) == kQmOk;
  if (!connected) Forget(name);
  return connected;
}

bool C_OpenedUnit::SendRaw(const std::uint8_t* cdb, os::DataDirection direction, std::uint8_t* buffer,
                           std::uint32_t length) {
  const std::string name = DeviceName();
  if (name.empty()) return false;
  return SendCommandByName(name.c_str(), cdb, direction, buffer, length) == kQmOk;
}

void C_OpenedUnit::PauseBetweenPolls() {
  std::this_thread::sleep_for(kBusyPollPause);
}

}  // namespace velkin::qm
