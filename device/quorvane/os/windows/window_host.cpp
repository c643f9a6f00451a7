// The notification host on Windows: the library's hidden window on the thread that called
// QRVN_InitDllv. The system's device-change notifications reach its window procedure, which
// restarts timer 1 (arrivals, 1000 ms) or timer 2 (removals, 500 ms); WM_TIMER runs the checks,
// and the host is told with SendMessageA, all from that thread's message loop.
#include <windows.h>
// windows.h first: dbt.h needs its types.
#include <dbt.h>

#include "device/qmlib/os/emulated/virtual_device_messages.h"

#include <array>
#include <atomic>

#include "device/quorvane/os/notification_host.h"

namespace velkin::quorvane::os {
namespace {

constexpr char kClassName[] = "QM101DeviceClass";

// The interface classes whose arrivals and removals are watched: USB devices, disks, HID devices
// and network adapters.
constexpr std::array<GUID, 4> kWatchedClasses = {{
    {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}},
    {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}},
    {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}},
    {0xAD498944, 0x762F, 0x11D0, {0x8D, 0xCB, 0x00, 0xC0, 0x4F, 0xC3, 0x35, 0x8C}},
}};

static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) == 32, "the filter record the system expects");

class WindowHost final : public NotificationHost {
 public:
  explicit WindowHost(TimerHandler& handler) : handler_(handler) {}

  ~WindowHost() override {
    // The folder watch of virtual devices is left running: its thread could only end by taking
    // the loader lock that the unload holds, so joining it here would hang.
    (void)virtual_source_.release();
    for (HDEVNOTIFY registration : registrations_) {
      if (registration != nullptr) UnregisterDeviceNotification(registration);
    }
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

    // A failed registration only means that the library never hears of those devices.
    for (std::size_t i = 0; i < kWatchedClasses.size(); ++i) {
      DEV_BROADCAST_DEVICEINTERFACE_A filter{};
      filter.dbcc_size = sizeof filter;
      filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
      filter.dbcc_classguid = kWatchedClasses[i];
      registrations_[i] = RegisterDeviceNotificationA(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    }

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
  std::array<HDEVNOTIFY, kWatchedClasses.size()> registrations_{};
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
