// The notification host where there are no windows: an event thread of the library's own runs
// the two timers and calls the host's callback, fed with arrivals and removals by the device
// library's hot-plug source (udev, or the folder of virtual devices).
#include "device/qmlib/os/hotplug.h"

#include <array>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "device/quorvane/os/notification_host.h"

namespace velkin::quorvane::os {
namespace {

using Clock = std::chrono::steady_clock;

class EventThreadHost final : public NotificationHost {
 public:
  explicit EventThreadHost(TimerHandler& handler) : handler_(handler) {
    thread_ = std::thread([this] { Run(); });
    // Without a source the library never hears of arrivals or removals, as on Windows when the
    // notification registrations fail; that is no reason to refuse the set-up.
    try {
      // The classes the Windows host registers for (USB devices, disks, HID, network adapters),
      // not only storage units: any such change makes the timers look at the unit, as there.
      source_ = qm::os::StartHotplugSource(
          [this](const qm::os::HotplugEvent& event) {
            Restart(event.kind == qm::os::HotplugKind::kArrival ? kArrivalTimer : kRemovalTimer);
          },
          qm::os::HotplugScope::kInterfaceClasses);
    } catch (...) {
      source_.reset();
    }
  }

  ~EventThreadHost() override {
    source_.reset();  // joins the source's thread: no restart comes in after this
    {
      std::lock_guard guard(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    // Unloading from inside a notification must not wait for itself.
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }

  void RunOnHostThread(const std::function<void()>& job) override {
    if (std::this_thread::get_id() == thread_.get_id()) {
      job();
      return;
    }
    Job entry{&job};
    std::unique_lock lock(mutex_);
    jobs_.push_back(&entry);
    wake_.notify_all();
    done_.wait(lock, [&] { return entry.done; });
  }

  void Deliver(QRVN_NotifyTarget target, std::uint32_t message, std::uintptr_t wparam) override {
    if (target != nullptr && message != 0) target(message, wparam, 0);
  }

 private:
  struct Job {
    const std::function<void()>* body;
    bool done = false;
  };

  static Clock::duration Delay(unsigned id) {
    return id == kArrivalTimer ? Clock::duration(kArrivalDelay) : Clock::duration(kRemovalDelay);
  }

  // Every notification restarts its timer, so a burst is answered once, after the last of it.
  void Restart(unsigned id) {
    {
      std::lock_guard guard(mutex_);
      deadlines_[id] = Clock::now() + Delay(id);
    }
    wake_.notify_all();
  }

  void Run() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
      if (!jobs_.empty()) {
        Job* job = jobs_.front();
        jobs_.pop_front();
        lock.unlock();
        (*job->body)();
        lock.lock();
        job->done = true;
        done_.notify_all();
        continue;
      }
      std::optional<Clock::time_point> earliest;
      unsigned due = 0;
      for (unsigned id : {kArrivalTimer, kRemovalTimer}) {
        if (deadlines_[id] && (!earliest || *deadlines_[id] < *earliest)) {
          earliest = deadlines_[id];
          due = id;
        }
      }
      if (earliest && *earliest <= Clock::now()) {
        deadlines_[due].reset();  // each start fires once
        lock.unlock();
        handler_.OnTimer(due);
        lock.lock();
        continue;
      }
      if (earliest) {
        wake_.wait_until(lock, *earliest);
      } else {
        wake_.wait(lock);
      }
    }
  }

  TimerHandler& handler_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::deque<Job*> jobs_;
  std::array<std::optional<Clock::time_point>, 3> deadlines_{};  // by timer id
  bool stop_ = false;
  std::thread thread_;
  std::unique_ptr<qm::os::HotplugSource> source_;
};

}  // namespace

bool ProcessIsEnding() {
  return false;
}

std::unique_ptr<NotificationHost> CreateNotificationHost(TimerHandler& handler) {
  try {
    return std::make_unique<EventThreadHost>(handler);
  } catch (...) {
    return nullptr;  // no thread could be started
  }
}

}  // namespace velkin::quorvane::os
