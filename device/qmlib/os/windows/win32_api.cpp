#include "win32_api.h"

#include <atomic>

namespace velkin::qm::os::win {
namespace {

// Null: the system's table. (The addresses of imported functions are only known at run time, so
// the system's table is built on first use rather than by the static initialisation of this file,
// whose order against the objects of other files built at load is not fixed.)
constinit std::atomic<const Win32Api*> g_current{nullptr};

}  // namespace

const Win32Api& SystemApi() {
  static const Win32Api system{
      ::CreateFileA,
      ::CloseHandle,
      ::DeviceIoControl,
      ::GetLastError,
      ::SetupDiGetClassDevsA,
      ::SetupDiEnumDeviceInterfaces,
      ::SetupDiGetDeviceInterfaceDetailA,
      ::SetupDiGetDeviceRegistryPropertyA,
      ::SetupDiDestroyDeviceInfoList,
      ::RegOpenKeyExA,
      ::RegQueryValueExA,
      ::RegCloseKey,
      ::GetVersionExA,
      ::CM_Locate_DevNodeA,
      ::CM_Get_Child,
      ::CM_Get_Sibling,
      ::CM_Get_Parent,
      ::CM_Get_Device_IDA,
      ::CM_Get_DevNode_Registry_PropertyA,
      ::RegisterDeviceNotificationA,
      ::UnregisterDeviceNotification,
      ::LoadLibraryA,
      ::GetProcAddress,
      ::FreeLibrary,
      ::GetModuleFileNameA,
      ::MessageBoxA,
      ::CreateMutexA,
      ::WaitForSingleObject,
      ::ReleaseMutex,
  };
  return system;
}

const Win32Api& Api() {
  const Win32Api* current = g_current.load(std::memory_order_acquire);
  return current != nullptr ? *current : SystemApi();
}

ScopedApi::ScopedApi(const Win32Api& table) : previous_(g_current.exchange(&table, std::memory_order_acq_rel)) {}

ScopedApi::~ScopedApi() {
  g_current.store(previous_, std::memory_order_release);
}

}  // namespace velkin::qm::os::win
