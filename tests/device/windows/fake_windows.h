// A scripted stand-in for the system calls of the Windows backend (see win32_api.h).
//
// Wine has no disks, no device tree and no USB, so the tests describe a machine here instead:
// device paths that answer control codes, device interface classes with their members, registry
// keys and values, a device tree, and the HID library. The fake answers the way the system does
// (sizes asked for first, ERROR_INSUFFICIENT_BUFFER, ERROR_NO_MORE_ITEMS, record size checks) and
// records every call, so that a test can check what the backend sent and whether it gave every
// handle back.
#pragma once

#include <windows.h>
// The following need the types of windows.h.
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "device/qmlib/os/windows/win32_api.h"

namespace velkin::qm::os::win::test {

// Answers one DeviceIoControl on an opened path. Returns FALSE with `error` set to fail.
struct IoctlRequest {
  DWORD code;
  void* in;
  DWORD in_size;
  void* out;
  DWORD out_size;
};
using IoctlHandler = std::function<BOOL(const IoctlRequest& request, DWORD& returned, DWORD& error)>;

struct OpenCall {
  std::string path;
  DWORD access;
  DWORD share;
  DWORD disposition;
  DWORD flags;
};

struct IoctlCall {
  std::string path;  // what the handle was opened with
  DWORD code;
  DWORD in_size;
  DWORD out_size;
  std::vector<std::uint8_t> in;   // the input bytes as they were sent
  std::vector<std::uint8_t> out;  // the output bytes as they were answered
  const void* in_pointer;
  const void* out_pointer;
};

struct FakeInterface {
  std::string path;
  std::vector<std::string> hardware_ids;  // the property's strings; none: no property
  DWORD enumerate_error = 0;              // non-zero: enumerating this member fails with it
  bool detail_fails = false;
};

struct ClassDevsCall {
  GUID interface_class;
  bool enumerator_given;
  bool window_given;
  DWORD flags;
};

struct FakeDevNode {
  std::string device_id;
  std::string driver_key;
  std::string description;
  DEVINST parent = 0;
  std::vector<DEVINST> children;
};

struct MessageBoxCall {
  std::string text;
  std::string caption;
  UINT type;
};

struct NotificationCall {
  HANDLE recipient;
  std::vector<std::uint8_t> filter;
  DWORD flags;
};

class FakeWindows {
 public:
  // Installs itself as the system for its lifetime (one at a time).
  FakeWindows();
  ~FakeWindows();
  FakeWindows(const FakeWindows&) = delete;
  FakeWindows& operator=(const FakeWindows&) = delete;

  // ---- the machine
  void AddDevice(const std::string& path, IoctlHandler handler) { devices_[path] = std::move(handler); }
  void RemoveDevice(const std::string& path) { devices_.erase(path); }
  // Opening the path fails with `error` (0: opens again), as for a user without access.
  void RefuseOpen(const std::string& path, DWORD error) {
    if (error == 0) {
      refused_opens_.erase(path);
    } else {
      refused_opens_[path] = error;
    }
  }
  void AddInterface(const GUID& interface_class, FakeInterface member) {
    classes_[Key(interface_class)].push_back(std::move(member));
  }
  void FailClass(const GUID& interface_class) { failing_classes_.insert(Key(interface_class)); }
  // Past its last member the class answers `error` instead of ERROR_NO_MORE_ITEMS, for ever.
  void NeverEndClass(const GUID& interface_class, DWORD error) { endless_classes_[Key(interface_class)] = error; }
  // Registry under HKEY_LOCAL_MACHINE; key paths and value names without regard to case.
  void SetDword(const std::string& key, const std::string& name, DWORD value);
  void SetText(const std::string& key, const std::string& name, const std::string& value);
  void AddKey(const std::string& key);
  void SetWindowsVersion(DWORD major, DWORD minor) {
    version_major_ = major;
    version_minor_ = minor;
  }
  // Device tree: the root exists from the start.
  DEVINST root() const { return 1; }
  DEVINST AddDevNode(DEVINST parent, const std::string& device_id, const std::string& driver_key,
                     const std::string& description);
  // Run-time loading.
  void SetLibrary(const std::string& name, HMODULE module) { libraries_[Lower(name)] = module; }
  void SetProcedure(const std::string& name, FARPROC procedure) { procedures_[name] = procedure; }
  void SetProgramPath(const std::string& path) { program_path_ = path; }

  // ---- what was asked
  const std::vector<OpenCall>& opens() const { return opens_; }
  const std::vector<IoctlCall>& ioctls() const { return ioctls_; }
  std::vector<IoctlCall> IoctlsTo(const std::string& path) const;
  const std::vector<ClassDevsCall>& class_devs_calls() const { return class_devs_calls_; }
  const std::vector<std::string>& opened_keys() const { return opened_keys_; }
  // "key\name" for every value read.
  const std::vector<std::string>& queried_values() const { return queried_values_; }
  const std::vector<std::string>& loaded_libraries() const { return loaded_libraries_; }
  const std::vector<std::string>& resolved_procedures() const { return resolved_procedures_; }
  const std::vector<HMODULE>& freed_libraries() const { return freed_libraries_; }
  const std::vector<MessageBoxCall>& message_boxes() const { return message_boxes_; }
  const std::vector<NotificationCall>& registrations() const { return registrations_; }
  const std::vector<HDEVNOTIFY>& unregistrations() const { return unregistrations_; }
  int version_queries() const { return version_queries_; }
  std::size_t endless_answers() const { return endless_answers_; }

  // Handles, information sets and keys not given back.
  std::size_t open_handles() const { return handles_.size(); }
  std::size_t open_mutexes() const { return mutexes_.size(); }
  // The names of the mutexes created and not yet closed.
  std::vector<std::string> mutex_names() const {
    std::vector<std::string> names;
    for (const auto& [handle, name] : mutexes_) names.push_back(name);
    return names;
  }
  std::size_t open_device_info_sets() const { return device_info_sets_.size(); }
  std::size_t open_keys() const { return keys_.size(); }
  std::size_t bad_closes() const { return bad_closes_; }

  // Called by the fake's DeviceIoControl; public for the static entry points.
  static FakeWindows& Current();

 private:
  friend struct Entry;
  static std::string Key(const GUID& guid);
  static std::string Lower(const std::string& text);

  Win32Api table_{};
  std::unique_ptr<ScopedApi> installed_;
  DWORD last_error_ = 0;

  std::map<std::string, IoctlHandler> devices_;
  std::map<std::string, DWORD> refused_opens_;
  std::map<HANDLE, std::string> mutexes_;
  std::map<HANDLE, std::string> handles_;
  std::uintptr_t next_handle_ = 0x4000;
  std::size_t bad_closes_ = 0;
  std::vector<OpenCall> opens_;
  std::vector<IoctlCall> ioctls_;

  std::map<std::string, std::vector<FakeInterface>> classes_;
  std::set<std::string> failing_classes_;
  std::map<std::string, DWORD> endless_classes_;
  std::size_t endless_answers_ = 0;
  std::map<HDEVINFO, std::string> device_info_sets_;
  std::uintptr_t next_set_ = 0x9000;
  std::vector<ClassDevsCall> class_devs_calls_;

  struct RegValue {
    bool is_dword = false;
    DWORD dword = 0;
    std::string text;
  };
  std::map<std::string, std::map<std::string, RegValue>> registry_;
  std::map<HKEY, std::string> keys_;
  std::uintptr_t next_key_ = 0x7000;
  std::vector<std::string> opened_keys_;
  std::vector<std::string> queried_values_;
  DWORD version_major_ = 6;
  DWORD version_minor_ = 1;
  int version_queries_ = 0;

  std::vector<FakeDevNode> nodes_;  // index = DEVINST; 0 unused, 1 the root

  std::map<std::string, HMODULE> libraries_;
  std::map<std::string, FARPROC> procedures_;
  std::string program_path_ = "C:\\Program Files\\Velkin\\VelkinUtils.exe";
  std::vector<std::string> loaded_libraries_;
  std::vector<std::string> resolved_procedures_;
  std::vector<HMODULE> freed_libraries_;
  std::vector<MessageBoxCall> message_boxes_;

  std::vector<NotificationCall> registrations_;
  std::vector<HDEVNOTIFY> unregistrations_;
  std::set<HDEVNOTIFY> active_notifications_;
  std::uintptr_t next_notification_ = 0xB000;
};

}  // namespace velkin::qm::os::win::test
