// Monitor on Windows: a hidden top-level window on its own thread receives the device-change
// notifications that the system broadcasts to top-level windows.
#include <windows.h>
// dbt.h needs the types of windows.h.
#include <dbt.h>

#include "device/qmlib/os/emulated/virtual_device_messages.h"

#include <atomic>
#include <cstdio>

#include "console/connection.h"
#include "monitor.h"
#include "resource.h"

namespace velkin::console {

namespace {

constexpr UINT kPrivateMessage = WM_USER + 101;
constexpr int kMaxLoadString = 100;

HINSTANCE g_instance = nullptr;
char g_title[kMaxLoadString];
char g_class_name[kMaxLoadString];
// Read by the shell thread at QUIT.
std::atomic<HWND> g_window{nullptr};
// Set once the thread has announced its window (or failed to create it), so that its two
// start-up lines always come before the shell's first prompt. Lives as long as the process.
HANDLE g_started = nullptr;

LRESULT CALLBACK DeviceMonitorWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_DEVICECHANGE:
      if (wparam == DBT_DEVICEARRIVAL) {
        OnDeviceArrival();
      } else if (wparam == DBT_DEVICEREMOVECOMPLETE) {
        OnDeviceRemovalComplete();
      }
      return 0;
    case WM_COMMAND:
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      BeginPaint(window, &ps);
      EndPaint(window, &ps);
      return 0;
    }
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case kPrivateMessage:
      return 0;
    default:
      return DefWindowProcA(window, message, wparam, lparam);
  }
}

ATOM RegisterMonitorClass(HINSTANCE instance) {
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = DeviceMonitorWndProc;
  wc.hInstance = instance;
  wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_VELKIN));
  wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszMenuName = MAKEINTRESOURCEA(IDC_VELKIN);
  wc.lpszClassName = g_class_name;
  wc.hIconSm = LoadIconA(instance, MAKEINTRESOURCEA(IDI_SMALL));
  return RegisterClassExA(&wc);
}

DWORD WINAPI DeviceMonitorThread(LPVOID /*parameter*/) {
  HINSTANCE instance = GetModuleHandleA(nullptr);
  std::printf("hInstance %x\n", static_cast<unsigned>(reinterpret_cast<uintptr_t>(instance)));
  LoadStringA(instance, IDS_APP_TITLE, g_title, kMaxLoadString);
  LoadStringA(instance, IDC_VELKIN, g_class_name, kMaxLoadString);
  RegisterMonitorClass(instance);
  g_instance = instance;
  HWND window = CreateWindowExA(0, g_class_name, g_title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0,
                                nullptr, nullptr, instance, nullptr);
  std::printf("InitInstance hWnd %x\n", static_cast<unsigned>(reinterpret_cast<uintptr_t>(window)));
  std::fflush(stdout);
  SetEvent(g_started);
  if (window == nullptr) return 0;
  g_window = window;
  ShowWindow(window, SW_HIDE);
  UpdateWindow(window);

  // Virtual devices raise no system notifications: their watch sends the window the same
  // WM_DEVICECHANGE messages. It runs until the process ends, as the window does.
  static auto* virtual_source = qm::os::StartVirtualDeviceMessages(window).release();
  (void)virtual_source;

  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (!TranslateAcceleratorA(msg.hwnd, nullptr, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
  return static_cast<DWORD>(msg.wParam);
}

}  // namespace

void StopDeviceMonitor() {
  // The window handles its messages one at a time on the monitor thread: once the close has
  // been handled, no reaction is under way, and the destroyed window takes no further event.
  HWND window = g_window;
  if (window != nullptr) SendMessageA(window, WM_CLOSE, 0, 0);
}

void StartDeviceMonitor() {
  constexpr DWORD kStartTimeoutMs = 10000;
  g_started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, DeviceMonitorThread, nullptr, 0, nullptr);
  if (thread == nullptr) return;
  CloseHandle(thread);
  if (g_started != nullptr) WaitForSingleObject(g_started, kStartTimeoutMs);
}

}  // namespace velkin::console
