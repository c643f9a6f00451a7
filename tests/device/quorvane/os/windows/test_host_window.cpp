// The host on Windows: a window on a thread of its own that runs a message loop, as a host
// program's main window does. QRVN_InitDllv is called on that thread, so the library's hidden
// window and its timers live there too.
#include <windows.h>

#include <velkin/quorvane.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "tests/device/quorvane/test_host.h"

namespace velkin::test {
namespace {

constexpr char kClassName[] = "QuorvaneTestHost";
// Runs a job on the host thread; the tests' notification messages lie in the WM_APP range.
constexpr UINT kRunJob = WM_USER + 0x300;

LRESULT CALLBACK HostProcedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == kRunJob) {
    (*reinterpret_cast<const std::function<void()>*>(lparam))();
    return 0;
  }
  if (message == TestHost::ListenedMessage()) {
    TestHost::Record(message, static_cast<std::uintptr_t>(wparam), static_cast<std::intptr_t>(lparam));
    return 0;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

HWND StartHostThread() {
  static std::mutex mutex;
  static std::condition_variable ready;
  static HWND host = nullptr;
  static bool started = false;
  static bool created = false;
  std::unique_lock lock(mutex);
  if (!started) {
    started = true;
    std::thread([] {
      WNDCLASSA window_class{};
      window_class.lpfnWndProc = HostProcedure;
      window_class.hInstance = GetModuleHandleA(nullptr);
      window_class.lpszClassName = kClassName;
      RegisterClassA(&window_class);
      HWND window = CreateWindowExA(0, kClassName, "", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, nullptr,
                                    nullptr, GetModuleHandleA(nullptr), nullptr);
      {
        std::lock_guard guard(mutex);
        host = window;
        created = true;
      }
      ready.notify_all();
      MSG msg;
      while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
      }
    }).detach();  // runs until the process ends, like the host program's main window
  }
  ready.wait(lock, [] { return created; });
  return host;
}

}  // namespace

std::int32_t PlatformInit(std::uint32_t message, bool with_target) {
  HWND host = StartHostThread();
  if (host == nullptr) return -1;  // no window: the test fails on the result
  std::int32_t result = 0;
  const std::function<void()> job = [&] { result = QRVN_InitDllv(with_target ? host : nullptr, message); };
  SendMessageA(host, kRunJob, 0, reinterpret_cast<LPARAM>(&job));
  return result;
}

}  // namespace velkin::test
