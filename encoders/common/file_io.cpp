#include "file_io.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace velkin::encoder {
namespace {
constexpr std::size_t kOutputBufferBytes = 64 * 1024;
constexpr std::size_t kReadAheadBytes = 64 * 1024;
}  // namespace

bool InputFile::Open(const std::string& path) {
  // Only regular files: a directory, a pipe or a device has no fixed size, and a device such as an
  // endless source would never let the walk end.
  std::error_code ec;
  const std::filesystem::path p(path);
  if (!std::filesystem::is_regular_file(p, ec)) return false;
  const auto size = std::filesystem::file_size(p, ec);
  if (ec) return false;
  stream_.open(p, std::ios::binary | std::ios::in);
  if (!stream_.is_open()) return false;
  size_ = size;
  return true;
}

std::size_t InputFile::ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) {
  if (failed_ || offset >= size_ || out.empty()) return 0;
  const std::uint64_t want = std::min<std::uint64_t>(out.size(), size_ - offset);
  if (offset < window_offset_ || offset + want > window_offset_ + window_.size()) {
    const std::uint64_t fill = std::min<std::uint64_t>(std::max<std::uint64_t>(want, kReadAheadBytes), size_ - offset);
    window_.resize(static_cast<std::size_t>(fill));
    window_offset_ = offset;
    stream_.clear();
    stream_.seekg(static_cast<std::streamoff>(offset));
    stream_.read(reinterpret_cast<char*>(window_.data()), static_cast<std::streamsize>(fill));
    window_.resize(static_cast<std::size_t>(stream_.gcount()));
  }
  const std::uint64_t got = std::min<std::uint64_t>(want, window_offset_ + window_.size() - offset);
  const auto from = window_.begin() + static_cast<std::ptrdiff_t>(offset - window_offset_);
  std::copy(from, from + static_cast<std::ptrdiff_t>(got), out.begin());
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
  stream_.open(std::filesystem::path(path), std::ios::binary | std::ios::out | std::ios::trunc);
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
  std::ofstream empty(std::filesystem::path(path_), std::ios::binary | std::ios::out | std::ios::trunc);
}

}  // namespace velkin::encoder
