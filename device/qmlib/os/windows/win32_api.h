// The system calls of the Windows backend, as one table of function pointers.
//
// Every call this backend makes into the system (files and DeviceIoControl, SetupAPI, the
// registry, CfgMgr32, device-change registration, run-time loading, the message box) goes
// through Api(). In a normal process that is the system itself. A test installs a table of its
// own with ScopedApi and answers in the system's place: Wine has no disks, no device tree and no
// USB, so this is how the records, control codes and walks of this backend are exercised there.
#pragma once

#include <windows.h>
// The following need the types of windows.h.
#include <cfgmgr32.h>
#include <setupapi.h>

namespace velkin::qm::os::win {

struct Win32Api {
  // Files, devices, errors.
  decltype(&::CreateFileA) CreateFileA;
  decltype(&::CloseHandle) CloseHandle;
  decltype(&::DeviceIoControl) DeviceIoControl;
  decltype(&::GetLastError) GetLastError;

  // Device interfaces.
  decltype(&::SetupDiGetClassDevsA) SetupDiGetClassDevsA;
  decltype(&::SetupDiEnumDeviceInterfaces) SetupDiEnumDeviceInterfaces;
  decltype(&::SetupDiGetDeviceInterfaceDetailA) SetupDiGetDeviceInterfaceDetailA;
  decltype(&::SetupDiGetDeviceRegistryPropertyA) SetupDiGetDeviceRegistryPropertyA;
  decltype(&::SetupDiDestroyDeviceInfoList) SetupDiDestroyDeviceInfoList;

  // Registry and system version.
  decltype(&::RegOpenKeyExA) RegOpenKeyExA;
  decltype(&::RegQueryValueExA) RegQueryValueExA;
  decltype(&::RegCloseKey) RegCloseKey;
  decltype(&::GetVersionExA) GetVersionExA;

  // The device tree.
  decltype(&::CM_Locate_DevNodeA) CM_Locate_DevNodeA;
  decltype(&::CM_Get_Child) CM_Get_Child;
  decltype(&::CM_Get_Sibling) CM_Get_Sibling;
  decltype(&::CM_Get_Parent) CM_Get_Parent;
  decltype(&::CM_Get_Device_IDA) CM_Get_Device_IDA;
  decltype(&::CM_Get_DevNode_Registry_PropertyA) CM_Get_DevNode_Registry_PropertyA;

  // Device-change notifications.
  decltype(&::RegisterDeviceNotificationA) RegisterDeviceNotificationA;
  decltype(&::UnregisterDeviceNotification) UnregisterDeviceNotification;

  // Run-time loading and the one message box.
  decltype(&::LoadLibraryA) LoadLibraryA;
  decltype(&::GetProcAddress) GetProcAddress;
  decltype(&::FreeLibrary) FreeLibrary;
  decltype(&::GetModuleFileNameA) GetModuleFileNameA;
  decltype(&::MessageBoxA) MessageBoxA;

  // The named mutex that keeps a unit's exchanges apart among programs.
  decltype(&::CreateMutexA) CreateMutexA;
  decltype(&::WaitForSingleObject) WaitForSingleObject;
  decltype(&::ReleaseMutex) ReleaseMutex;
};

// The table in force.
const Win32Api& Api();

// The table of the real system.
const Win32Api& SystemApi();

// Puts `table` in force for its lifetime (the caller keeps `table` alive), then restores the
// previous one. For tests, which install it before the objects under test call into the system
// and remove it after they are gone.
class ScopedApi {
 public:
  explicit ScopedApi(const Win32Api& table);
  ~ScopedApi();
  ScopedApi(const ScopedApi&) = delete;
  ScopedApi& operator=(const ScopedApi&) = delete;

 private:
  const Win32Api* previous_;
};

}  // namespace velkin::qm::os::win
