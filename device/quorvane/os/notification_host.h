// Where the notifications live: the seam between the portable export object and the platform.
//
// A host owns the place the notifications are delivered from and the two timers that answer
// device arrivals and removals. On Windows that is the library's hidden window on the thread that
// called QRVN_InitDllv (its window procedure, SetTimer and SendMessageA); elsewhere it is an event
// thread of the library's own, fed by the device library's hot-plug source, that calls the host's
// callback. Either way every device arrival restarts the arrival timer and every removal the
// removal timer, and an expired timer is handed to the TimerHandler once, on the host's thread.
#pragma once

#include <velkin/quorvane.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace velkin::quorvane::os {

inline constexpr unsigned kArrivalTimer = 1;
inline constexpr unsigned kRemovalTimer = 2;
inline constexpr std::chrono::milliseconds kArrivalDelay{1000};
inline constexpr std::chrono::milliseconds kRemovalDelay{500};

class TimerHandler {
 public:
  // Runs on the host's thread after the timer has been stopped: each start fires once.
  virtual void OnTimer(unsigned id) = 0;

 protected:
  ~TimerHandler() = default;
};

class NotificationHost {
 public:
  // Stops the timers and the watching. Called at unload.
  virtual ~NotificationHost() = default;

  // Runs `job` on the thread the notifications come from and returns when it has run (at once,
  // inline, when called on that thread).
  virtual void RunOnHostThread(const std::function<void()>& job) = 0;

  // Delivers one notification synchronously; nothing when the target is null or the message 0.
  // Called on the host's thread without any lock held, so the receiver may call back in.
  virtual void Deliver(QRVN_NotifyTarget target, std::uint32_t message, std::uintptr_t wparam) = 0;
};

// True while the library is being unloaded because its process ends: on Windows every other
// thread has then been stopped wherever it stood, perhaps holding one of the library's locks, so
// nothing may be torn down that takes a lock. Elsewhere the other threads still run at exit and
// the unload proceeds as always.
bool ProcessIsEnding();

// Creates the host and starts watching. Null when the window (or thread) cannot be made;
// failures to register for device notifications are not failures here.
std::unique_ptr<NotificationHost> CreateNotificationHost(TimerHandler& handler);

}  // namespace velkin::quorvane::os
