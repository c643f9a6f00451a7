#include "file_io.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace velkin::encoder {
namespace {
constexpr std::size_t kOutputBufferBytes = 64 * 1024;
constexpr std::size_t kInputWindowBytes = 128 * 1024;
}  // namespace

bool InputFile::Open(const std::string& path) {
  // A directory, a pipe or a device is no input file: a device such as an endless source would never
  // let the walk end. Only what is known not to be a regular file is refused here, because the
  // status is looked up through a wide path on Windows while the file itself is opened by its narrow
  // (ANSI) name, as the callers pass it.
  std::error_code ec;
  const auto status = std::filesystem::status(std::filesystem::path(path), ec);
  if (!ec && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) return false;
  stream_.rdbuf()->pubsetbuf(nullptr, 0);  // the window below does the buffering
  stream_.open(path.c_str(), std::ios::binary | std::ios::in);
  if (!stream_.is_open()) return false;
  stream_.seekg(0, std::ios::end);
  const std::streamoff size = stream_.tellg();
  if (!stream_ || size < 0) return false;
  size_ = static_cast<std::uint64_t>(size);
  return true;
}

std::size_t InputFile::ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) {
  if (failed_ || offset >= size_ || out.empty()) return 0;
  const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), size_ - offset));
  if (count > kInputWindowBytes / 2) return ReadDirect(offset, out.first(count));
  if (offset < window_offset_ || offset + count > window_offset_ + window_.size()) {
    window_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kInputWindowBytes, size_ - offset)));
    window_offset_ = offset;
    window_.resize(ReadDirect(offset, window_));
  }
  const auto skip = static_cast<std::size_t>(offset - window_offset_);
  const std::size_t got = std::min(count, window_.size() - std::min(skip, window_.size()));
  std::copy_n(window_.begin() + static_cast<std::ptrdiff_t>(skip), got, out.begin());
  return got;
}

std::size_t InputFile::ReadDirect(std::uint64_t offset, std::span<std::uint8_t> out) {
  const auto want = static_cast<std::streamsize>(out.size());
  stream_.clear();
  stream_.seekg(static_cast<std::streamoff>(offset));
  stream_.read(reinterpret_cast<char*>(out.data()), want);
  const std::streamsize got = stream_.gcount();
  // The file was shorter than it was at the start, or the read failed: either way the input can no
  // longer be trusted.
  if (got != want) failed_ = true;
  return static_cast<std::size_t>(got);
}

OutputFile::~OutputFile() {
  if (stream_.is_open()) stream_.close();
}

bool OutputFile::Create(const std::string& path) {
  path_ = path;
  stream_.open(path.c_str(), std::ios::binary | std::ios::out | std::ios::trunc);
  if (!stream_.is_open()) {
    failed_ = true;
    return false;
  }
  created_ = true;
  buffer_.reserve(kOutputBufferBytes);
  return true;
}

void OutputFile::Write(std::span<const std::uint8_t> bytes) {
  if (failed_) return;
  if (buffer_.size() + bytes.size() > kOutputBufferBytes) FlushBuffer();
  if (bytes.size() >= kOutputBufferBytes) {
    stream_.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!stream_) failed_ = true;
    return;
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

void OutputFile::FlushBuffer() {
  if (buffer_.empty() || failed_) return;
  stream_.write(reinterpret_cast<const char*>(buffer_.data()), static_cast<std::streamsize>(buffer_.size()));
  buffer_.clear();
  if (!stream_) failed_ = true;
}

bool OutputFile::Finish() {
  if (!stream_.is_open()) return false;
  FlushBuffer();
  stream_.flush();
  if (!stream_) failed_ = true;
  stream_.close();
  if (stream_.fail()) failed_ = true;
  return !failed_;
}

void OutputFile::Discard() {
  buffer_.clear();
  if (stream_.is_open()) stream_.close();
  failed_ = true;
  if (!created_) return;
  // Reopening with truncation empties whatever reached the file before the failure.
  std::ofstream empty(path_.c_str(), std::ios::binary | std::ios::out | std::ios::trunc);
}

}  // namespace velkin::encoder
