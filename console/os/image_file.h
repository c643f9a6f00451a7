// Reading the image file of a flash download, through the platform's own file handles (their
// numeric value is part of the console's output).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace velkin::console {

class ImageFile {
 public:
  virtual ~ImageFile() = default;
  // Numeric value of the handle, or -1 when the open failed.
  virtual long Handle() const = 0;
  // The operating system's error code of a failed open.
  virtual long OpenError() const = 0;
  // Reads exactly `length` bytes; false on an error or a short read.
  virtual bool ReadExactly(std::uint8_t* buffer, std::size_t length) = 0;

  // Opens for reading, shared for reading with others; the file must exist.
  static std::unique_ptr<ImageFile> Open(const char* path);
  // Size in bytes from the file system, -1 when it cannot be obtained.
  static std::int64_t Size(const char* path);
};

}  // namespace velkin::console
