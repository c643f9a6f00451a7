// The single export object behind the QRVN_ functions: the connected field, the device object,
// the notification target and the host that delivers the notifications.
#pragma once

#include <velkin/quorvane.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "device/quorvane/os/notification_host.h"
#include "quorvane_device.h"

namespace velkin::quorvane {

class C_QuorvaneApi final : public os::TimerHandler {
 public:
  C_QuorvaneApi() = default;
  ~C_QuorvaneApi();
  C_QuorvaneApi(const C_QuorvaneApi&) = delete;
  C_QuorvaneApi& operator=(const C_QuorvaneApi&) = delete;

  // Set-up: creates the host once, stores the target, opens the device if it is present and
  // announces it. False only when the host cannot be created.
  bool InitDllv(QRVN_NotifyTarget target, std::uint32_t message);

  std::int32_t connected() const { return connected_.load(); }
  C_QuorvaneDevice& device() { return device_; }

  // Timer 1 (arrival) and timer 2 (removal), on the host's thread.
  void OnTimer(unsigned id) override;

 private:
  // Opens the device unless it counts as connected; true when it was opened now.
  bool OpenDevice();
  // The check of both timers; records its result in the connected field.
  bool CheckConnection();
  void Notify(std::uintptr_t wparam);

  std::atomic<std::int32_t> connected_{0};
  C_QuorvaneDevice device_;

  std::mutex target_lock_;
  QRVN_NotifyTarget target_ = nullptr;
  std::uint32_t message_ = 0;

  std::mutex host_lock_;
  // The host's thread uses everything above; the destructor ends it first.
  std::unique_ptr<os::NotificationHost> host_;
  std::atomic<os::NotificationHost*> host_view_{nullptr};  // for the notifications
};

C_QuorvaneApi& TheApi();

}  // namespace velkin::quorvane
