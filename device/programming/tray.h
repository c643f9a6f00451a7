// A tray: one job on several units at once, one thread per unit. Every unit finishes and is
// reported whatever the others do; a unit whose thread cannot be started gets a failed result
// with the reason. Nothing here throws.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/programming/job.h"
#include "device/programming/unit.h"

namespace velkin::programming {

struct TrayUnit {
  std::string name;
  JobRequest request;
};

struct TrayResult {
  std::string name;
  // As read when the unit was opened; only the name when it could not be opened.
  UnitIdentity identity;
  JobResult job;
};

// Called on the unit's thread (`finished` on the thread that called Start for a unit whose
// thread could not be started). Indexes are those of the units given to Start.
struct TrayEvents {
  std::function<void(std::size_t index, const UnitIdentity& identity)> opened;
  std::function<void(std::size_t index, Step step, int percent)> progress;
  std::function<void(std::size_t index, const TrayResult& result)> finished;
};

// Starts a thread running `body`; std::system_error when it cannot. Replaceable for tests.
using ThreadStarter = std::function<std::thread(std::function<void()> body)>;

class Tray {
 public:
  explicit Tray(MatchTexts texts, ThreadStarter starter = {});
  // Cancels what still runs and waits for it.
  ~Tray();
  Tray(const Tray&) = delete;
  Tray& operator=(const Tray&) = delete;

  // Opens each unit by name on a thread of its own and runs its job there. Once per tray.
  void Start(std::vector<TrayUnit> units, TrayEvents events);
  // Running jobs stop before their next command; units not yet opened are not.
  void Cancel();
  // True when every unit has finished (and its `finished` event has returned).
  bool WaitFor(std::chrono::milliseconds timeout);
  // Waits for every unit; the results in the order the units were given.
  std::vector<TrayResult> Wait();

 private:
  void RunUnit(std::size_t index);
  void Finish(std::size_t index, TrayResult result);

  const MatchTexts texts_;
  ThreadStarter starter_;
  std::vector<TrayUnit> units_;
  TrayEvents events_;
  std::atomic<bool> cancel_{false};
  std::vector<std::thread> threads_;

  std::mutex lock_;
  std::condition_variable done_;
  std::vector<TrayResult> results_;  // guarded by lock_
  std::size_t remaining_ = 0;        // guarded by lock_
};

}  // namespace velkin::programming
