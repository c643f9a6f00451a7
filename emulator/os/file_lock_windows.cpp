#include <windows.h>

#include <thread>

#include "emulator/file_lock.h"

namespace velkin::emu {
namespace {

// The locked byte lies far past any data: Windows locks are mandatory for the range they cover.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;

HANDLE AsHandle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

FileLock::FileLock(const std::string& path) {
  HANDLE file =
      ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) handle_ = reinterpret_cast<std::intptr_t>(file);
}

FileLock::~FileLock() {
  Unlock();
  if (valid()) ::CloseHandle(AsHandle(handle_));
}

bool FileLock::Lock(std::chrono::milliseconds wait) {
  if (!valid()) return false;
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    if (::LockFileEx(AsHandle(handle_), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
      {
        locked_ = true;
        return true;
      }
    }
    if (::GetLastError() != ERROR_LOCK_VIOLATION) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

void FileLock::Unlock() {
  if (!locked_) return;
  OVERLAPPED at{};
  at.OffsetHigh = kLockOffsetHigh;
  ::UnlockFileEx(AsHandle(handle_), 0, 1, 0, &at);
  locked_ = false;
}

}  // namespace velkin::emu
