// Owners of the system handles this backend opens; each gives its handle back through the
// function table in force (win32_api.h).
#pragma once

#include <utility>

#include "win32_api.h"

namespace velkin::qm::os::win {

// A file or device handle; INVALID_HANDLE_VALUE while empty.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      handle_ = std::exchange(other.handle_, INVALID_HANDLE_VALUE);
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { Reset(); }

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  void Reset() {
    if (valid()) Api().CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// A SetupAPI device information set.
class UniqueDevInfo {
 public:
  explicit UniqueDevInfo(HDEVINFO set) : set_(set) {}
  UniqueDevInfo(const UniqueDevInfo&) = delete;
  UniqueDevInfo& operator=(const UniqueDevInfo&) = delete;
  ~UniqueDevInfo() {
    if (valid()) Api().SetupDiDestroyDeviceInfoList(set_);
  }

  HDEVINFO get() const { return set_; }
  bool valid() const { return set_ != INVALID_HANDLE_VALUE && set_ != nullptr; }

 private:
  HDEVINFO set_;
};

// An open registry key.
class UniqueKey {
 public:
  UniqueKey() = default;
  UniqueKey(const UniqueKey&) = delete;
  UniqueKey& operator=(const UniqueKey&) = delete;
  ~UniqueKey() {
    if (key_ != nullptr) Api().RegCloseKey(key_);
  }

  // Opens `subkey` of HKEY_LOCAL_MACHINE for reading values; false leaves it empty.
  bool OpenMachineKey(const char* subkey) {
    HKEY key = nullptr;
    if (Api().RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    key_ = key;
    return true;
  }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

}  // namespace velkin::qm::os::win
