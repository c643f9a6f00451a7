#include <windows.h>

#include "image_file.h"

namespace velkin::console {

namespace {

class Win32ImageFile final : public ImageFile {
 public:
  explicit Win32ImageFile(const char* path)
      : handle_(
            CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)),
        error_(handle_ == INVALID_HANDLE_VALUE ? static_cast<long>(GetLastError()) : 0) {}
  ~Win32ImageFile() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  long Handle() const override {
    return handle_ == INVALID_HANDLE_VALUE ? -1 : static_cast<long>(reinterpret_cast<intptr_t>(handle_));
  }
  long OpenError() const override { return error_; }
  bool ReadExactly(std::uint8_t* buffer, std::size_t length) override {
    std::size_t done = 0;
    while (done < length) {
      DWORD n = 0;
      if (!ReadFile(handle_, buffer + done, static_cast<DWORD>(length - done), &n, nullptr) || n == 0) return false;
      done += n;
    }
    return true;
  }

 private:
  HANDLE handle_;
  long error_;
};

}  // namespace

std::unique_ptr<ImageFile> ImageFile::Open(const char* path) {
  return std::make_unique<Win32ImageFile>(path);
}

std::int64_t ImageFile::Size(const char* path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return -1;
  return (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace velkin::console
