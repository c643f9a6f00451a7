// Byte stores behind the firmware model: the flash chip and the EEPROM.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace velkin::emu {

class Storage {
 public:
  virtual ~Storage() = default;
  virtual std::size_t Size() const = 0;
  // Both fail (false) when the range does not lie inside the store.
  virtual bool Read(std::size_t offset, std::span<std::uint8_t> out) = 0;
  virtual bool Write(std::size_t offset, std::span<const std::uint8_t> in) = 0;
};

// In memory: tests and test beds that keep the device inside the process.
class MemoryStorage : public Storage {
 public:
  MemoryStorage(std::size_t size, std::uint8_t fill) : bytes_(size, fill) {}
  std::size_t Size() const override { return bytes_.size(); }
  bool Read(std::size_t offset, std::span<std::uint8_t> out) override;
  bool Write(std::size_t offset, std::span<const std::uint8_t> in) override;
  std::vector<std::uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

// A file of fixed size (flash.bin, eeprom.bin). Reads and writes go straight to the file, so
// another process (velkin-emu dump) sees every completed command.
class FileStorage : public Storage {
 public:
  // Null when the file cannot be opened for reading and writing.
  static std::unique_ptr<FileStorage> Open(const std::string& path);
  ~FileStorage() override;
  FileStorage(const FileStorage&) = delete;
  FileStorage& operator=(const FileStorage&) = delete;

  std::size_t Size() const override { return size_; }
  bool Read(std::size_t offset, std::span<std::uint8_t> out) override;
  bool Write(std::size_t offset, std::span<const std::uint8_t> in) override;

 private:
  FileStorage(std::FILE* file, std::size_t size) : file_(file), size_(size) {}
  std::FILE* file_;
  std::size_t size_;
};

// Creates (or replaces) a file of `size` bytes all equal to `fill`.
bool CreateFilledFile(const std::string& path, std::size_t size, std::uint8_t fill);

}  // namespace velkin::emu
