#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "image_file.h"

namespace velkin::console {

namespace {

class PosixImageFile final : public ImageFile {
 public:
  // Only a regular file is an image. open() succeeds on a folder (and waits on a pipe without
  // O_NONBLOCK), where the Windows open of the same path fails; such paths are refused here the
  // same way, with the error a read of them would give.
  explicit PosixImageFile(const char* path) : fd_(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK)), error_(0) {
    if (fd_ < 0) {
      error_ = errno;
      return;
    }
    struct stat st {};
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
      error_ = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
      close(fd_);
      fd_ = -1;
    }
  }
  ~PosixImageFile() override {
    if (fd_ >= 0) close(fd_);
  }
  long Handle() const override { return fd_; }
  long OpenError() const override { return error_; }
  bool ReadExactly(std::uint8_t* buffer, std::size_t length) override {
    std::size_t done = 0;
    while (done < length) {
      const ssize_t n = read(fd_, buffer + done, length - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

 private:
  int fd_;
  int error_;
};

}  // namespace

std::unique_ptr<ImageFile> ImageFile::Open(const char* path) {
  return std::make_unique<PosixImageFile>(path);
}

std::int64_t ImageFile::Size(const char* path) {
  struct stat st {};
  if (stat(path, &st) != 0) return -1;
  // A folder has no bytes of its own; Windows reports its size as 0 too.
  if (S_ISDIR(st.st_mode)) return 0;
  return static_cast<std::int64_t>(st.st_size);
}

}  // namespace velkin::console
