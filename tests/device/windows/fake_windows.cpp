#include "fake_windows.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace velkin::qm::os::win::test {
namespace {

FakeWindows* g_current = nullptr;

}  // namespace

// The entry points the backend calls, forwarding to the installed fake.
struct Entry {
  static FakeWindows& F() { return FakeWindows::Current(); }

  static HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                                   DWORD flags, HANDLE) {
    FakeWindows& f = F();
    f.opens_.push_back({path, access, share, disposition, flags});
    if (f.devices_.count(path) == 0) {
      f.last_error_ = ERROR_FILE_NOT_FOUND;
      return INVALID_HANDLE_VALUE;
    }
    if (const auto refused = f.refused_opens_.find(path); refused != f.refused_opens_.end()) {
      f.last_error_ = refused->second;
      return INVALID_HANDLE_VALUE;
    }
    auto handle = reinterpret_cast<HANDLE>(f.next_handle_);
    f.next_handle_ += 4;
    f.handles_[handle] = path;
    return handle;
  }

  // Mutexes are real (they work under Wine as on Windows); the fake only counts them, so that a
  // test sees each one given back. A named one is made per test process: the fake units of tests
  // that run side by side share their paths, and one test holding its unit's mutex on purpose would
  // otherwise keep another process's exchanges waiting until they fail as busy.
  static HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL owned, LPCSTR name) {
    FakeWindows& f = F();
    const std::string own_name =
        name != nullptr ? std::string(name) + "-" + std::to_string(::GetCurrentProcessId()) : "";
    HANDLE mutex = ::CreateMutexA(attributes, owned, name != nullptr ? own_name.c_str() : nullptr);
    if (mutex != nullptr) f.mutexes_[mutex] = name != nullptr ? name : "";
    return mutex;
  }

  static BOOL WINAPI CloseHandle(HANDLE handle) {
    FakeWindows& f = F();
    if (f.mutexes_.erase(handle) != 0) return ::CloseHandle(handle);
    if (f.handles_.erase(handle) == 0) {
      ++f.bad_closes_;
      f.last_error_ = ERROR_INVALID_HANDLE;
      return FALSE;
    }
    return TRUE;
  }

  static BOOL WINAPI DeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                                     LPDWORD returned, LPOVERLAPPED) {
    FakeWindows& f = F();
    const auto opened = f.handles_.find(handle);
    if (opened == f.handles_.end()) {
      f.last_error_ = ERROR_INVALID_HANDLE;
      return FALSE;
    }
    IoctlCall call{opened->second, code, in_size, out_size, {}, {}, in, out};
    if (in != nullptr) {
      const auto* bytes = static_cast<const std::uint8_t*>(in);
      call.in.assign(bytes, bytes + in_size);
    }
    const auto device = f.devices_.find(opened->second);
    DWORD done = 0;
    DWORD error = 0;
    BOOL result = FALSE;
    if (device == f.devices_.end()) {
      error = ERROR_DEVICE_NOT_CONNECTED;  // unplugged while open
    } else {
      result = device->second(IoctlRequest{code, in, in_size, out, out_size}, done, error);
    }
    if (result && out != nullptr) {
      const auto* bytes = static_cast<const std::uint8_t*>(out);
      call.out.assign(bytes, bytes + out_size);
    }
    f.ioctls_.push_back(std::move(call));
    if (returned != nullptr) *returned = done;
    if (!result) f.last_error_ = error;
    return result;
  }

  static DWORD WINAPI GetLastError() { return F().last_error_; }

  // ---- SetupAPI

  static HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* guid, PCSTR enumerator, HWND window, DWORD flags) {
    FakeWindows& f = F();
    f.class_devs_calls_.push_back({*guid, enumerator != nullptr, window != nullptr, flags});
    const std::string key = FakeWindows::Key(*guid);
    if (f.failing_classes_.count(key) != 0) {
      f.last_error_ = ERROR_INVALID_DATA;
      return INVALID_HANDLE_VALUE;
    }
    auto set = reinterpret_cast<HDEVINFO>(f.next_set_++);
    f.device_info_sets_[set] = key;
    return set;
  }

  static BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID* guid, DWORD index,
                                                 PSP_DEVICE_INTERFACE_DATA data) {
    FakeWindows& f = F();
    const auto found = f.device_info_sets_.find(set);
    if (found == f.device_info_sets_.end() || data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
      f.last_error_ = ERROR_INVALID_PARAMETER;
      return FALSE;
    }
    auto& members = f.classes_[FakeWindows::Key(*guid)];
    if (FakeWindows::Key(*guid) != found->second || index >= members.size()) {
      const auto endless = f.endless_classes_.find(found->second);
      if (endless != f.endless_classes_.end()) {
        ++f.endless_answers_;
        if (f.endless_answers_ > 100000) throw std::runtime_error("the walk does not end");
        f.last_error_ = endless->second;
        return FALSE;
      }
      f.last_error_ = ERROR_NO_MORE_ITEMS;
      return FALSE;
    }
    FakeInterface& member = members[index];
    if (member.enumerate_error != 0) {
      f.last_error_ = member.enumerate_error;
      return FALSE;
    }
    data->InterfaceClassGuid = *guid;
    data->Flags = SPINT_ACTIVE;
    data->Reserved = reinterpret_cast<ULONG_PTR>(&member);
    return TRUE;
  }

  static BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                                      PDWORD required, PSP_DEVINFO_DATA device) {
    FakeWindows& f = F();
    if (f.device_info_sets_.count(set) == 0 || data == nullptr || data->Reserved == 0) {
      f.last_error_ = ERROR_INVALID_PARAMETER;
      return FALSE;
    }
    auto& member = *reinterpret_cast<FakeInterface*>(data->Reserved);
    const DWORD needed =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + member.path.size() + 1);
    if (required != nullptr) *required = needed;
    if (detail == nullptr || size < needed) {
      f.last_error_ = ERROR_INSUFFICIENT_BUFFER;
      return FALSE;
    }
    // The system insists on the size of the fixed part of the record of its own architecture.
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) ||
        (device != nullptr && device->cbSize != sizeof(SP_DEVINFO_DATA))) {
      f.last_error_ = ERROR_INVALID_USER_BUFFER;
      return FALSE;
    }
    if (member.detail_fails) {
      f.last_error_ = ERROR_NOT_FOUND;
      return FALSE;
    }
    std::memcpy(detail->DevicePath, member.path.c_str(), member.path.size() + 1);
    if (device != nullptr) device->Reserved = data->Reserved;
    return TRUE;
  }

  static BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property,
                                                       PDWORD type, PBYTE buffer, DWORD size, PDWORD required) {
    FakeWindows& f = F();
    if (f.device_info_sets_.count(set) == 0 || device == nullptr || device->Reserved == 0 ||
        property != SPDRP_HARDWAREID) {
      f.last_error_ = ERROR_INVALID_PARAMETER;
      return FALSE;
    }
    const auto& member = *reinterpret_cast<const FakeInterface*>(device->Reserved);
    if (member.hardware_ids.empty()) {
      if (required != nullptr) *required = 0;
      f.last_error_ = ERROR_INVALID_DATA;
      return FALSE;
    }
    std::string multi;
    for (const auto& id : member.hardware_ids) multi.append(id).push_back('\0');
    multi.push_back('\0');
    if (required != nullptr) *required = static_cast<DWORD>(multi.size());
    if (buffer == nullptr || size < multi.size()) {
      f.last_error_ = ERROR_INSUFFICIENT_BUFFER;
      return FALSE;
    }
    std::memcpy(buffer, multi.data(), multi.size());
    if (type != nullptr) *type = REG_MULTI_SZ;
    return TRUE;
  }

  static BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    FakeWindows& f = F();
    if (f.device_info_sets_.erase(set) == 0) {
      ++f.bad_closes_;
      return FALSE;
    }
    return TRUE;
  }

  // ---- registry

  static LSTATUS WINAPI RegOpenKeyExA(HKEY root, LPCSTR subkey, DWORD, REGSAM, PHKEY out) {
    FakeWindows& f = F();
    f.opened_keys_.push_back(subkey);
    const std::string path = FakeWindows::Lower(subkey);
    if (root != HKEY_LOCAL_MACHINE || f.registry_.count(path) == 0) return ERROR_FILE_NOT_FOUND;
    auto key = reinterpret_cast<HKEY>(f.next_key_++);
    f.keys_[key] = path;
    *out = key;
    return ERROR_SUCCESS;
  }

  static LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
    FakeWindows& f = F();
    const auto opened = f.keys_.find(key);
    if (opened == f.keys_.end()) return ERROR_INVALID_HANDLE;
    f.queried_values_.push_back(opened->second + "\\" + name);
    const auto& values = f.registry_[opened->second];
    const auto value = values.find(FakeWindows::Lower(name));
    if (value == values.end()) return ERROR_FILE_NOT_FOUND;
    std::string bytes;
    if (value->second.is_dword) {
      bytes.assign(reinterpret_cast<const char*>(&value->second.dword), sizeof(DWORD));
    } else {
      bytes = value->second.text;
      bytes.push_back('\0');
    }
    if (type != nullptr) *type = value->second.is_dword ? REG_DWORD : REG_SZ;
    if (size == nullptr) return data == nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
    if (data != nullptr && *size < bytes.size()) {
      *size = static_cast<DWORD>(bytes.size());
      return ERROR_MORE_DATA;
    }
    if (data != nullptr) std::memcpy(data, bytes.data(), bytes.size());
    *size = static_cast<DWORD>(bytes.size());
    return ERROR_SUCCESS;
  }

  static LSTATUS WINAPI RegCloseKey(HKEY key) {
    FakeWindows& f = F();
    if (f.keys_.erase(key) == 0) {
      ++f.bad_closes_;
      return ERROR_INVALID_HANDLE;
    }
    return ERROR_SUCCESS;
  }

  static BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
    FakeWindows& f = F();
    ++f.version_queries_;
    if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) && info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXA)) {
      f.last_error_ = ERROR_INSUFFICIENT_BUFFER;
      return FALSE;
    }
    info->dwMajorVersion = f.version_major_;
    info->dwMinorVersion = f.version_minor_;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    return TRUE;
  }

  // ---- device tree

  static bool Known(DEVINST node) { return node >= 1 && node < F().nodes_.size(); }

  static CONFIGRET WINAPI CM_Locate_DevNodeA(PDEVINST out, DEVINSTID_A id, ULONG) {
    if (id != nullptr) return CR_NO_SUCH_DEVNODE;
    *out = F().root();
    return CR_SUCCESS;
  }

  static CONFIGRET WINAPI CM_Get_Child(PDEVINST out, DEVINST node, ULONG) {
    if (!Known(node) || F().nodes_[node].children.empty()) return CR_NO_SUCH_DEVNODE;
    *out = F().nodes_[node].children.front();
    return CR_SUCCESS;
  }

  static CONFIGRET WINAPI CM_Get_Sibling(PDEVINST out, DEVINST node, ULONG) {
    if (!Known(node) || node == F().root()) return CR_NO_SUCH_DEVNODE;
    const auto& siblings = F().nodes_[F().nodes_[node].parent].children;
    const auto at = std::find(siblings.begin(), siblings.end(), node);
    if (at == siblings.end() || at + 1 == siblings.end()) return CR_NO_SUCH_DEVNODE;
    *out = *(at + 1);
    return CR_SUCCESS;
  }

  static CONFIGRET WINAPI CM_Get_Parent(PDEVINST out, DEVINST node, ULONG) {
    if (!Known(node) || node == F().root()) return CR_NO_SUCH_DEVNODE;
    *out = F().nodes_[node].parent;
    return CR_SUCCESS;
  }

  static CONFIGRET WINAPI CM_Get_Device_IDA(DEVINST node, PCHAR buffer, ULONG length, ULONG) {
    if (!Known(node)) return CR_NO_SUCH_DEVNODE;
    const std::string& id = F().nodes_[node].device_id;
    if (length < id.size() + 1) return CR_BUFFER_SMALL;
    std::memcpy(buffer, id.c_str(), id.size() + 1);
    return CR_SUCCESS;
  }

  static CONFIGRET WINAPI CM_Get_DevNode_Registry_PropertyA(DEVINST node, ULONG property, PULONG type, PVOID buffer,
                                                            PULONG length, ULONG) {
    if (!Known(node)) return CR_NO_SUCH_DEVNODE;
    const FakeDevNode& n = F().nodes_[node];
    const std::string* text = property == CM_DRP_DRIVER       ? &n.driver_key
                              : property == CM_DRP_DEVICEDESC ? &n.description
                                                              : nullptr;
    if (text == nullptr || text->empty()) return CR_NO_SUCH_VALUE;
    const ULONG needed = static_cast<ULONG>(text->size() + 1);
    if (buffer == nullptr || *length < needed) {
      *length = needed;
      return CR_BUFFER_SMALL;
    }
    std::memcpy(buffer, text->c_str(), needed);
    *length = needed;
    if (type != nullptr) *type = REG_SZ;
    return CR_SUCCESS;
  }

  // ---- notifications

  static HDEVNOTIFY WINAPI RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags) {
    FakeWindows& f = F();
    DWORD size = 0;
    std::memcpy(&size, filter, sizeof size);
    const auto* bytes = static_cast<const std::uint8_t*>(filter);
    f.registrations_.push_back(
        {recipient, std::vector<std::uint8_t>(bytes, bytes + std::min<DWORD>(size, 256)), flags});
    auto handle = reinterpret_cast<HDEVNOTIFY>(f.next_notification_++);
    f.active_notifications_.insert(handle);
    return handle;
  }

  static BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY handle) {
    FakeWindows& f = F();
    f.unregistrations_.push_back(handle);
    return f.active_notifications_.erase(handle) != 0 ? TRUE : FALSE;
  }

  // ---- run-time loading

  static HMODULE WINAPI LoadLibraryA(LPCSTR name) {
    FakeWindows& f = F();
    f.loaded_libraries_.push_back(name);
    const auto found = f.libraries_.find(FakeWindows::Lower(name));
    if (found == f.libraries_.end()) {
      f.last_error_ = ERROR_MOD_NOT_FOUND;
      return nullptr;
    }
    return found->second;
  }

  static FARPROC WINAPI GetProcAddress(HMODULE, LPCSTR name) {
    FakeWindows& f = F();
    f.resolved_procedures_.push_back(name);
    const auto found = f.procedures_.find(name);
    return found == f.procedures_.end() ? nullptr : found->second;
  }

  static BOOL WINAPI FreeLibrary(HMODULE module) {
    F().freed_libraries_.push_back(module);
    return TRUE;
  }

  static DWORD WINAPI GetModuleFileNameA(HMODULE, LPSTR buffer, DWORD size) {
    const std::string& path = F().program_path_;
    if (size <= path.size()) return 0;
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
  }

  static int WINAPI MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT type) {
    F().message_boxes_.push_back({text, caption != nullptr ? caption : "", type});
    return IDOK;
  }
};

FakeWindows::FakeWindows() {
  if (g_current != nullptr) throw std::logic_error("one fake system at a time");
  nodes_.resize(2);  // 0 unused, 1 the root
  nodes_[1].device_id = "HTREE\\ROOT\\0";
  table_ = Win32Api{
      Entry::CreateFileA,
      Entry::CloseHandle,
      Entry::DeviceIoControl,
      Entry::GetLastError,
      Entry::SetupDiGetClassDevsA,
      Entry::SetupDiEnumDeviceInterfaces,
      Entry::SetupDiGetDeviceInterfaceDetailA,
      Entry::SetupDiGetDeviceRegistryPropertyA,
      Entry::SetupDiDestroyDeviceInfoList,
      Entry::RegOpenKeyExA,
      Entry::RegQueryValueExA,
      Entry::RegCloseKey,
      Entry::GetVersionExA,
      Entry::CM_Locate_DevNodeA,
      Entry::CM_Get_Child,
      Entry::CM_Get_Sibling,
      Entry::CM_Get_Parent,
      Entry::CM_Get_Device_IDA,
      Entry::CM_Get_DevNode_Registry_PropertyA,
      Entry::RegisterDeviceNotificationA,
      Entry::UnregisterDeviceNotification,
      Entry::LoadLibraryA,
      Entry::GetProcAddress,
      Entry::FreeLibrary,
      Entry::GetModuleFileNameA,
      Entry::MessageBoxA,
      Entry::CreateMutexA,
      ::WaitForSingleObject,
      ::ReleaseMutex,
  };
  g_current = this;
  installed_ = std::make_unique<ScopedApi>(table_);
}

FakeWindows::~FakeWindows() {
  installed_.reset();
  g_current = nullptr;
}

FakeWindows& FakeWindows::Current() {
  if (g_current == nullptr) throw std::logic_error("no fake system installed");
  return *g_current;
}

std::string FakeWindows::Key(const GUID& guid) {
  return std::string(reinterpret_cast<const char*>(&guid), sizeof guid);
}

std::string FakeWindows::Lower(const std::string& text) {
  std::string lower = text;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

void FakeWindows::AddKey(const std::string& key) {
  registry_[Lower(key)];
}

void FakeWindows::SetDword(const std::string& key, const std::string& name, DWORD value) {
  registry_[Lower(key)][Lower(name)] = RegValue{true, value, {}};
}

void FakeWindows::SetText(const std::string& key, const std::string& name, const std::string& value) {
  registry_[Lower(key)][Lower(name)] = RegValue{false, 0, value};
}

DEVINST FakeWindows::AddDevNode(DEVINST parent, const std::string& device_id, const std::string& driver_key,
                                const std::string& description) {
  const auto node = static_cast<DEVINST>(nodes_.size());
  nodes_.push_back(FakeDevNode{device_id, driver_key, description, parent, {}});
  nodes_[parent].children.push_back(node);
  return node;
}

std::vector<IoctlCall> FakeWindows::IoctlsTo(const std::string& path) const {
  std::vector<IoctlCall> calls;
  for (const auto& call : ioctls_) {
    if (call.path == path) calls.push_back(call);
  }
  return calls;
}

}  // namespace velkin::qm::os::win::test
