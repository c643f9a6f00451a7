#include "quorvane_api.h"

namespace velkin::quorvane {

C_QuorvaneApi::~C_QuorvaneApi() {
  // Unload: first the window (or event thread) with its timers and registrations, so that no
  // check runs any more; then the device object closes its device and releases the rest.
  std::unique_ptr<os::NotificationHost> host;
  {
    std::lock_guard guard(host_lock_);
    host = std::move(host_);
  }
  // Not under the lock: a check still running on the host's thread may be notifying.
  host.reset();
  host_view_.store(nullptr);
}

bool C_QuorvaneApi::InitDllv(QRVN_NotifyTarget target, std::uint32_t message) {
  os::NotificationHost* host = nullptr;
  {
    std::lock_guard guard(host_lock_);
    // A second call keeps the window (or thread) it made the first time and only takes the new
    // target: making a second one would duplicate every notification.
    if (!host_) {
      host_ = os::CreateNotificationHost(*this);
      host_view_.store(host_.get());
    }
    host = host_.get();
  }
  if (host == nullptr) return false;
  {
    std::lock_guard guard(target_lock_);
    target_ = target;
    message_ = message;
  }
  // Lives until unload; the lock is not held while the set-up waits for the host's thread,
  // which may itself be calling in from a notification.
  host->RunOnHostThread([this] {
    if (OpenDevice()) Notify(QRVN_NOTIFY_DEVICE_OPENED);
  });
  return true;
}

bool C_QuorvaneApi::OpenDevice() {
  if (connected_.load() != 0) return false;
  const bool opened = device_.Open() > 0;
  connected_.store(opened ? 1 : 0);
  return opened;
}

bool C_QuorvaneApi::CheckConnection() {
  const bool connected = device_.CheckConnection();
  connected_.store(connected ? 1 : 0);
  return connected;
}

void C_QuorvaneApi::OnTimer(unsigned id) {
  if (id == os::kArrivalTimer) {
    if (CheckConnection()) return;
    if (OpenDevice()) Notify(QRVN_NOTIFY_DEVICE_OPENED);
  } else if (id == os::kRemovalTimer) {
    if (CheckConnection()) return;
    Notify(QRVN_NOTIFY_DEVICE_GONE);
  }
}

void C_QuorvaneApi::Notify(std::uintptr_t wparam) {
  QRVN_NotifyTarget target = nullptr;
  std::uint32_t message = 0;
  {
    std::lock_guard guard(target_lock_);
    target = target_;
    message = message_;
  }
  // Only called on the host's thread, so the host is there (during unload too, until its thread
  // has ended).
  if (os::NotificationHost* host = host_view_.load()) host->Deliver(target, message, wparam);
}

namespace {

// Constructed when the library is loaded and destroyed when it is unloaded, except when the
// process ends on Windows: then the threads that used it were stopped wherever they stood, and
// tearing it down could wait for ever on a lock one of them held. The system takes back
// handles and memory of an ending process anyway.
class ExportObjectHolder {
 public:
  ~ExportObjectHolder() {
    if (os::ProcessIsEnding()) (void)api_.release();
  }
  C_QuorvaneApi& api() { return *api_; }

 private:
  std::unique_ptr<C_QuorvaneApi> api_ = std::make_unique<C_QuorvaneApi>();
};

}  // namespace

C_QuorvaneApi& TheApi() {
  static ExportObjectHolder holder;
  return holder.api();
}

}  // namespace velkin::quorvane
