#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "image_file.h"

namespace velkin::console {

namespace {

class PosixImageFile final : public ImageFile {
 public:
  explicit PosixImageFile(const char* path) : fd_(open(path, O_RDONLY | O_CLOEXEC)), error_(fd_ < 0 ? errno : 0) {}
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
  return static_cast<std::int64_t>(st.st_size);
}

}  // namespace velkin::console
