// Monitor on Windows: a hidden top-level window on its own thread receives the device-change
// notifications that the system broadcasts to top-level windows.
#include <windows.h>
// dbt.h needs the types of windows.h.
#include <dbt.h>

#include <os/backend.h>
#include <os/hotplug.h>

#include <cstdio>
#include <cstdlib>

#include "../connection.h"
#include "monitor.h"
#include "resource.h"

namespace velkin::console {

namespace {

constexpr UINT kPrivateMessage = WM_USER + 101;
constexpr int kMaxLoadString = 100;

HINSTANCE g_instance = nullptr;
char g_title[kMaxLoadString];
char g_class_name[kMaxLoadString];
HWND g_window = nullptr;

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
  if (window == nullptr) return 0;
  g_window = window;
  ShowWindow(window, SW_HIDE);
  UpdateWindow(window);

  // Virtual devices raise no system notifications: their event source posts the same
  // WM_DEVICECHANGE messages the system would broadcast, so they take the window's path.
  if (const char* root = std::getenv(qm::os::kEmulatorVariable); root != nullptr && *root != '\0') {
    static auto* virtual_source =
        qm::os::StartEmulatedHotplugSource(root, [window](const qm::os::HotplugEvent& e) {
          PostMessageA(window, WM_DEVICECHANGE,
                       e.kind == qm::os::HotplugKind::kArrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE, 0);
        }).release();
    (void)virtual_source;
  }

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

void StartDeviceMonitor() {
  HANDLE thread = CreateThread(nullptr, 0, DeviceMonitorThread, nullptr, 0, nullptr);
  if (thread != nullptr) CloseHandle(thread);
}

}  // namespace velkin::console
