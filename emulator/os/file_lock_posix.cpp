#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "emulator/file_lock.h"

namespace velkin::emu {

FileLock::FileLock(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd >= 0) handle_ = fd;
}

FileLock::~FileLock() {
  Unlock();
  if (valid()) ::close(static_cast<int>(handle_));
}

bool FileLock::Lock(std::chrono::milliseconds wait) {
  if (!valid()) return false;
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    if (::flock(static_cast<int>(handle_), LOCK_EX | LOCK_NB) == 0) {
      locked_ = true;
      return true;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

void FileLock::Unlock() {
  if (!locked_) return;
  ::flock(static_cast<int>(handle_), LOCK_UN);
  locked_ = false;
}

}  // namespace velkin::emu
