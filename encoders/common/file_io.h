// The encoder's files: a bounded random-access input and buffered outputs that can be left empty.
#pragma once

#include <cstdint>
#include <fstream>
#include <span>
#include <string>
#include <vector>

namespace velkin::encoder {

// A regular file opened for reading. Reads never go past the size the file had when it was opened.
class InputFile {
 public:
  // False when the path is not an existing regular file or cannot be opened.
  bool Open(const std::string& path);
  std::uint64_t size() const { return size_; }
  // Reads up to out.size() bytes at `offset` and returns how many came: fewer only at the end of the
  // file, or after a read error (failed() then turns true).
  std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> out);
  bool failed() const { return failed_; }

 private:
  std::size_t ReadDirect(std::uint64_t offset, std::span<std::uint8_t> out);

  std::ifstream stream_;
  std::uint64_t size_ = 0;
  bool failed_ = false;
  // The chunk walk makes many small reads and the blocks step back after each read: a window of the
  // file kept here serves them without going back to the system each time.
  std::vector<std::uint8_t> window_;
  std::uint64_t window_offset_ = 0;
};

// A file created new (or truncated) for writing, buffered. On failure it is emptied, never left
// half-written.
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  bool Create(const std::string& path);
  void Write(std::span<const std::uint8_t> bytes);
  // Writes out what is buffered and closes the file; false when any write failed.
  bool Finish();
  // Closes the file and leaves it empty.
  void Discard();
  bool failed() const { return failed_; }

 private:
  void FlushBuffer();

  std::string path_;
  std::ofstream stream_;
  std::vector<std::uint8_t> buffer_;
  bool created_ = false;
  bool failed_ = false;
};

}  // namespace velkin::encoder
