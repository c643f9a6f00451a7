#include "watch.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <system_error>

namespace velkin::programming {
namespace {

// How often the watcher looks without being told.
constexpr auto kPollInterval = std::chrono::seconds(2);

}  // namespace

UnitWatcher::UnitWatcher(MatchTexts texts, Callback callback)
    : texts_(std::move(texts)), callback_(std::move(callback)) {}

std::unique_ptr<UnitWatcher> UnitWatcher::Start(MatchTexts texts, Callback callback, std::string* error) {
  std::unique_ptr<UnitWatcher> watcher(new UnitWatcher(std::move(texts), std::move(callback)));
  try {
    watcher->thread_ = std::thread([w = watcher.get()] { w->Run(); });
  } catch (const std::exception& e) {
    if (error != nullptr) *error = std::string("cannot start watching: ") + e.what();
    return nullptr;
  }
  UnitWatcher* self = watcher.get();
  try {
    self->hotplug_ = qm::os::StartHotplugSource([self](const qm::os::HotplugEvent&) { self->Rescan(); });
  } catch (const std::exception&) {
    // Without events the slow poll still sees every change.
  }
  return watcher;
}

UnitWatcher::~UnitWatcher() {
  hotplug_.reset();
  {
    std::lock_guard guard(wake_lock_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void UnitWatcher::Rescan() {
  {
    std::lock_guard guard(wake_lock_);
    rescan_ = true;
  }
  wake_.notify_one();
}

std::vector<std::shared_ptr<Unit>> UnitWatcher::Units() {
  std::lock_guard guard(units_lock_);
  return units_;
}

std::shared_ptr<Unit> UnitWatcher::Find(const std::string& name) {
  std::lock_guard guard(units_lock_);
  for (const auto& unit : units_) {
    if (unit->name() == name) return unit;
  }
  return nullptr;
}

void UnitWatcher::Run() {
  std::unique_lock guard(wake_lock_);
  while (!stopping_) {
    wake_.wait_for(guard, kPollInterval, [this] { return stopping_ || rescan_; });
    if (stopping_) break;
    rescan_ = false;
    guard.unlock();
    try {
      Look();
    } catch (const std::exception&) {
      // Out of memory while listing: the next look tries again.
    }
    guard.lock();
  }
}

void UnitWatcher::Look() {
  const std::vector<UnitIdentity> listed = ListUnits(texts_, false);
  const auto present = [&](const std::string& name) {
    return std::any_of(listed.begin(), listed.end(),
                       [&](const UnitIdentity& u) { return u.name == name && u.open_error.empty(); });
  };
  std::vector<std::shared_ptr<Unit>> removed;
  {
    std::lock_guard guard(units_lock_);
    for (auto it = units_.begin(); it != units_.end();) {
      if (present((*it)->name())) {
        ++it;
      } else {
        // A job still holding the unit finds it gone on its next command.
        removed.push_back(*it);
        it = units_.erase(it);
      }
    }
  }
  for (const auto& unit : removed) callback_({UnitChange::Kind::kRemoved, unit->Identity(), nullptr});

  for (const auto& identity : listed) {
    if (!identity.open_error.empty() || Find(identity.name)) continue;
    OpenResult opened = OpenUnit(texts_, identity.name);
    if (!opened.unit) continue;  // gone again, or held elsewhere: the next look sees
    std::shared_ptr<Unit> unit = std::move(opened.unit);
    {
      std::lock_guard guard(units_lock_);
      units_.push_back(unit);
    }
    callback_({UnitChange::Kind::kArrived, unit->Identity(), unit});
  }
}

}  // namespace velkin::programming
