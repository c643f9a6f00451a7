#include "storage.h"

#include <algorithm>
#include <vector>

namespace velkin::emu {
namespace {

bool InRange(std::size_t offset, std::size_t length, std::size_t size) {
  return offset <= size && length <= size - offset;
}

}  // namespace

bool MemoryStorage::Read(std::size_t offset, std::span<std::uint8_t> out) {
  if (!InRange(offset, out.size(), bytes_.size())) return false;
  std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
  return true;
}

bool MemoryStorage::Write(std::size_t offset, std::span<const std::uint8_t> in) {
  if (!InRange(offset, in.size(), bytes_.size())) return false;
  std::copy(in.begin(), in.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
  return true;
}

std::unique_ptr<FileStorage> FileStorage::Open(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "r+b");
  if (file == nullptr) return nullptr;
  // Unbuffered: every command's bytes reach the file at once, for other processes to see.
  std::setvbuf(file, nullptr, _IONBF, 0);
  if (std::fseek(file, 0, SEEK_END) != 0) {
    std::fclose(file);
    return nullptr;
  }
  const long size = std::ftell(file);
  if (size < 0) {
    std::fclose(file);
    return nullptr;
  }
  return std::unique_ptr<FileStorage>(new FileStorage(file, static_cast<std::size_t>(size)));
}

FileStorage::~FileStorage() {
  std::fclose(file_);
}

bool FileStorage::Read(std::size_t offset, std::span<std::uint8_t> out) {
  if (!InRange(offset, out.size(), size_)) return false;
  if (std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0) return false;
  return std::fread(out.data(), 1, out.size(), file_) == out.size();
}

bool FileStorage::Write(std::size_t offset, std::span<const std::uint8_t> in) {
  if (!InRange(offset, in.size(), size_)) return false;
  if (std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0) return false;
  return std::fwrite(in.data(), 1, in.size(), file_) == in.size();
}

bool CreateFilledFile(const std::string& path, std::size_t size, std::uint8_t fill) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const std::vector<std::uint8_t> chunk(65536, fill);
  bool ok = true;
  for (std::size_t done = 0; ok && done < size;) {
    const std::size_t n = std::min(chunk.size(), size - done);
    ok = std::fwrite(chunk.data(), 1, n, file) == n;
    done += n;
  }
  return std::fclose(file) == 0 && ok;
}

}  // namespace velkin::emu
