// An exclusive lock on a lock file, shared by every process that opens the same file. Virtual
// devices use it so that all programs on the machine meet one unit, as they do a real one.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace velkin::emu {

class FileLock {
 public:
  // Opens (and if need be creates) the lock file; not valid when that fails.
  explicit FileLock(const std::string& path);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  bool valid() const { return handle_ != kNoHandle; }
  // Waits at most `wait` for the lock; false when another holder kept it that long (or the file
  // is not valid). The lock is not recursive: one FileLock object, one holder.
  bool Lock(std::chrono::milliseconds wait);
  void Unlock();

 private:
  static constexpr std::intptr_t kNoHandle = -1;
  std::intptr_t handle_ = kNoHandle;  // a file descriptor, or a HANDLE on Windows
  bool locked_ = false;
};

}  // namespace velkin::emu
