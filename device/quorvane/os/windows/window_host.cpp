// The notification host on Windows: the library's hidden window on the thread that called
// QRVN_InitDllv. The system's device-change notifications reach its window procedure, which
// restarts timer 1 (arrivals, 1000 ms) or timer 2 (removals, 500 ms); WM_TIMER runs the checks,
// and the host is told with SendMessageA, all from that thread's message loop.
#include <windows.h>
// windows.h first: dbt.h needs its types.
#include <dbt.h>

#include "device/qmlib/os/backend.h"
#include "device/qmlib/os/emulated/virtual_device_messages.h"

#include <atomic>

#include "device/quorvane/os/notification_host.h"

namespace velkin::quorvane::os {
namespace {

constexpr char kClassName[] = "QM101DeviceClass";

class WindowHost final : public NotificationHost {
 public:
  explicit WindowHost(TimerHandler& handler) : handler_(handler) {}

  ~WindowHost() override {
    // The folder watch of virtual devices is left running: its thread could only end by taking
    // the loader lock that the unload holds, so joining it here would hang.
    (void)virtual_source_.release();
    registration_.reset();
    // The window goes before its class: a class cannot be unregistered while a window of it
    // exists. DestroyWindow fails harmlessly when the unload runs on another thread, whose end
    // destroys the window anyway.
    if (window_ != nullptr) {
      SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
      DestroyWindow(window_);
    }
    if (class_registered_) UnregisterClassA(kClassName, Instance());
    if (process_ != nullptr) CloseHandle(process_);
  }

  bool Create() {
    // The class is registered under a handle to the library's own process.
    process_ = OpenProcess(PROCESS_DUP_HANDLE, FALSE, GetCurrentProcessId());
    if (process_ == nullptr) return false;

    WNDCLASSA window_class{};
    window_class.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS;
    window_class.lpfnWndProc = WindowProcedure;
    window_class.hInstance = Instance();
    window_class.lpszClassName = kClassName;
    if (RegisterClassA(&window_class) == 0) return false;
    class_registered_ = true;

    window_ =
        CreateWindowExA(WS_EX_APPWINDOW | WS_EX_WINDOWEDGE, kClassName, "", WS_BORDER | WS_SYSMENU | WS_MINIMIZEBOX,
                        CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, nullptr, nullptr, Instance(), this);
    if (window_ == nullptr) return false;  // never shown

    // Through the device library's system-call table, as every other call of the backend. A failed
    // registration only means that the library never hears of those devices.
    registration_ = qm::os::StartPlatformWindowNotifications(qm::os::NotifyWindow{window_},
                                                             qm::os::HotplugScope::kInterfaceClasses);

    // Virtual devices raise no system notifications: their watch sends the same WM_DEVICECHANGE.
    virtual_source_ = qm::os::StartVirtualDeviceMessages(window_);
    return true;
  }

  void RunOnHostThread(const std::function<void()>& job) override { job(); }

  void Deliver(QRVN_NotifyTarget target, std::uint32_t message, std::uintptr_t wparam) override {
    if (target != nullptr && message != 0) SendMessageA(static_cast<HWND>(target), message, wparam, 0);
  }

 private:
  HINSTANCE Instance() const { return reinterpret_cast<HINSTANCE>(process_); }

  static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
      const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lparam);
      SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* host = reinterpret_cast<WindowHost*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (host == nullptr) return DefWindowProcA(window, message, wparam, lparam);

    switch (message) {
      case WM_DEVICECHANGE: {
        const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lparam);
        if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return 0;
        host->OnDeviceChange(window, wparam);
        break;
      }
      case WM_TIMER:
        KillTimer(window, wparam);  // each start fires once
        host->handler_.OnTimer(static_cast<unsigned>(wparam));
        break;
      default:
        break;
    }
    return DefWindowProcA(window, message, wparam, lparam);
  }

  // Every notification restarts its timer, so a burst is answered once, after the last of it.
  void OnDeviceChange(HWND window, WPARAM event) {
    if (event == DBT_DEVICEARRIVAL) {
      KillTimer(window, kArrivalTimer);
      SetTimer(window, kArrivalTimer, static_cast<UINT>(kArrivalDelay.count()), nullptr);
    } else if (event == DBT_DEVICEREMOVECOMPLETE) {
      KillTimer(window, kRemovalTimer);
      SetTimer(window, kRemovalTimer, static_cast<UINT>(kRemovalDelay.count()), nullptr);
    }
  }

  TimerHandler& handler_;
  HANDLE process_ = nullptr;
  bool class_registered_ = false;
  HWND window_ = nullptr;
  std::unique_ptr<qm::os::HotplugSource> registration_;
  std::unique_ptr<qm::os::HotplugSource> virtual_source_;
};

std::atomic<bool> process_ending{false};

}  // namespace

bool ProcessIsEnding() {
  return process_ending.load();
}

std::unique_ptr<NotificationHost> CreateNotificationHost(TimerHandler& handler) {
  auto host = std::make_unique<WindowHost>(handler);
  if (!host->Create()) return nullptr;
  return host;
}

}  // namespace velkin::quorvane::os

// The runtime calls this before it runs the library's static destructors. A detach with a
// non-null `reserved` is the end of the process, not a FreeLibrary.
extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved != nullptr) velkin::quorvane::os::process_ending.store(true);
  return TRUE;
}
