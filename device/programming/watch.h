// Watching the units come and go: a first listing, then a new look at every arrival or removal
// the hot-plug source reports (and a slow poll besides, for systems whose source says nothing).
// Each unit that arrives is opened, its identity read, and kept open until it leaves.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/programming/unit.h"
#include "device/qmlib/os/hotplug.h"

namespace velkin::programming {

struct UnitChange {
  enum class Kind { kArrived, kRemoved };
  Kind kind = Kind::kArrived;
  UnitIdentity identity;       // a removed unit: as it was when it arrived
  std::shared_ptr<Unit> unit;  // an arrived unit, opened; null for a removal
};

class UnitWatcher {
 public:
  // Called on the watcher's thread, one change at a time. The units present at the start are
  // reported as arrivals first.
  using Callback = std::function<void(const UnitChange& change)>;

  // Starts watching; null (with the reason in `error`) when the watcher's thread cannot start.
  static std::unique_ptr<UnitWatcher> Start(MatchTexts texts, Callback callback, std::string* error);
  // Stops watching and waits for the thread. Not from inside the callback.
  ~UnitWatcher();

  // The units present now, in the order the system lists them.
  std::vector<std::shared_ptr<Unit>> Units();
  std::shared_ptr<Unit> Find(const std::string& name);
  // Looks again now, as after a hot-plug event.
  void Rescan();

 private:
  UnitWatcher(MatchTexts texts, Callback callback);
  void Run();
  void Look();

  const MatchTexts texts_;
  const Callback callback_;

  std::mutex units_lock_;
  std::vector<std::shared_ptr<Unit>> units_;  // guarded by units_lock_

  std::mutex wake_lock_;
  std::condition_variable wake_;
  bool rescan_ = true;  // guarded by wake_lock_
  bool stopping_ = false;
  std::thread thread_;
  std::unique_ptr<qm::os::HotplugSource> hotplug_;
};

}  // namespace velkin::programming
