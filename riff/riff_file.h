// A small RIFF reader and writer with the semantics of the platform's multimedia file I/O: chunks
// are found by searching forward from the current position, reads are plain byte reads, leaving a
// chunk moves to its word-aligned end, and leaving a chunk that was written stores the size that
// was actually written and adds the pad byte of an odd-sized chunk.
//
// Shared by the rate converter and the console's mono routine, which must give the same files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace velkin::riff {

// Four-character code as it lies in the file, read as a little-endian 32-bit value.
using FourCC = std::uint32_t;

constexpr FourCC MakeFourCC(const char (&text)[5]) {
  return static_cast<FourCC>(static_cast<std::uint8_t>(text[0])) |
         (static_cast<FourCC>(static_cast<std::uint8_t>(text[1])) << 8) |
         (static_cast<FourCC>(static_cast<std::uint8_t>(text[2])) << 16) |
         (static_cast<FourCC>(static_cast<std::uint8_t>(text[3])) << 24);
}

inline constexpr FourCC kRiff = MakeFourCC("RIFF");
inline constexpr FourCC kList = MakeFourCC("LIST");
inline constexpr FourCC kWave = MakeFourCC("WAVE");
inline constexpr FourCC kFmt = MakeFourCC("fmt ");
inline constexpr FourCC kData = MakeFourCC("data");

// Result codes, numbered as the multimedia file I/O numbers them, because the console prints them.
enum Error : std::uint32_t {
  kNoError = 0,
  kFileNotFound = 257,
  kCannotOpen = 259,
  kCannotWrite = 262,
  kCannotSeek = 263,
  kChunkNotFound = 265,
  kAccessDenied = 268,
};

// Position of one chunk: its identifier, the size from its header, the form type of a RIFF or
// LIST chunk, and the file offset of its data (for RIFF and LIST the data begins with the form
// type, as in the file format).
struct ChunkInfo {
  FourCC id = 0;
  std::uint32_t size = 0;
  FourCC formType = 0;
  std::uint64_t dataOffset = 0;
  bool written = false;  // created by a Writer: leaving it fixes its size
};

// Reads a RIFF file (or an image of one in memory) from a current position.
class Reader {
 public:
  class Source;
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Opens a file for reading. On failure returns null and sets `error` (kFileNotFound,
  // kAccessDenied or kCannotOpen).
  static std::unique_ptr<Reader> Open(const std::string& path, std::uint32_t& error);
  // Reads from bytes in memory, which must outlive the reader.
  static std::unique_ptr<Reader> FromMemory(std::span<const std::uint8_t> bytes);

  // Searches from the current position for a "RIFF" chunk of form type `form` and enters it: the
  // position is then just after the form type. kChunkNotFound when the file has none.
  std::uint32_t DescendRiff(ChunkInfo& chunk, FourCC form);
  // Searches from the current position, inside `parent` (or up to the end of the file when it is
  // null), for a chunk `id`, skipping other chunks with their pad bytes, and enters it: the
  // position is then at its data. A chunk that lies before the current position is not found.
  std::uint32_t Descend(ChunkInfo& chunk, const ChunkInfo* parent, FourCC id);
  // Enters the next chunk from the current position inside `parent` (or the file), whatever its
  // identifier: the way to walk every chunk of a list in turn. kChunkNotFound at the end.
  std::uint32_t DescendNext(ChunkInfo& chunk, const ChunkInfo* parent);
  // Reads up to `count` bytes at the current position and moves past them; fewer at the end of
  // the file. Chunk bounds are not enforced, as with the platform's read.
  std::size_t Read(void* into, std::size_t count);
  // Moves to the end of `chunk`, rounded up to an even offset.
  std::uint32_t Ascend(const ChunkInfo& chunk);
  // Moves back to the first byte inside `chunk` (after the form type of a RIFF or LIST chunk), so
  // that it can be searched again from its start.
  void Restart(const ChunkInfo& chunk);

  std::uint64_t Position() const { return position_; }
  // Bytes between the current position and the end of the file.
  std::uint64_t Remaining() const;

 private:
  explicit Reader(std::unique_ptr<Source> source);
  std::size_t ReadAt(std::uint64_t offset, void* into, std::size_t count);
  std::uint32_t Find(ChunkInfo& chunk, const ChunkInfo* parent, const FourCC* id);

  std::unique_ptr<Source> source_;
  std::uint64_t position_ = 0;
};

// Writes a new RIFF file (or an image of one in memory) front to back.
class Writer {
 public:
  class Target;
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Deletes any file named `path`, then creates it empty. On failure returns null and sets
  // `error` (an older file of that name is then already gone, as with the platform's functions).
  static std::unique_ptr<Writer> Create(const std::string& path, std::uint32_t& error);
  // Writes into `bytes` (cleared first), which must outlive the writer.
  static std::unique_ptr<Writer> ToMemory(std::vector<std::uint8_t>& bytes);

  // Writes a "RIFF" header with form type `form`; the size is stored by Ascend.
  std::uint32_t CreateRiff(ChunkInfo& chunk, FourCC form);
  // The same for a "LIST" chunk inside it.
  std::uint32_t CreateList(ChunkInfo& chunk, FourCC form);
  // Writes a chunk header announcing `announcedSize` bytes; Ascend corrects it to what was written.
  std::uint32_t CreateChunk(ChunkInfo& chunk, FourCC id, std::uint32_t announcedSize = 0);
  // Appends bytes; returns the number written.
  std::size_t Write(const void* bytes, std::size_t count);
  // Leaves `chunk`: pads an odd-sized chunk with one zero byte and stores the size actually
  // written when it differs from the announced one.
  std::uint32_t Ascend(ChunkInfo& chunk);
  // Flushes and closes. False when any write, seek or the close itself failed.
  bool Close();

 private:
  explicit Writer(std::unique_ptr<Target> target);

  std::unique_ptr<Target> target_;
  std::uint64_t position_ = 0;
  bool failed_ = false;
};

}  // namespace velkin::riff
