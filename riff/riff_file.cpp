#include "riff/riff_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>

#include "formats/le_bytes.h"

namespace velkin::riff {

namespace {

using bytes::LoadU32;
using bytes::StoreU32;

std::uint32_t OpenErrorFromErrno(int err) {
  if (err == ENOENT) return kFileNotFound;
  if (err == EACCES || err == EPERM) return kAccessDenied;
  return kCannotOpen;
}

// End of a chunk's data, rounded up to the even offset where the next chunk begins.
std::uint64_t PaddedEnd(const ChunkInfo& chunk) {
  return chunk.dataOffset + chunk.size + (chunk.size & 1u);
}

}  // namespace

// ---- Reader ------------------------------------------------------------------------------------

class Reader::Source {
 public:
  virtual ~Source() = default;
  virtual std::size_t ReadAt(std::uint64_t offset, void* into, std::size_t count) = 0;
  virtual std::uint64_t Size() const = 0;
};

namespace {

class FileSource final : public Reader::Source {
 public:
  bool Open(const std::string& path) {
    // Only a regular file holds chunks. A folder opens here and then fails its first read with an
    // exception of the stream library; Windows refuses it at the open (access denied), as here.
    std::error_code ec;
    if (std::filesystem::exists(path, ec) && !std::filesystem::is_regular_file(path, ec)) {
      errno = EACCES;
      return false;
    }
    if (!file_.open(path, std::ios::in | std::ios::binary)) return false;
    const auto end = file_.pubseekoff(0, std::ios::end, std::ios::in);
    size_ = end < 0 ? 0 : static_cast<std::uint64_t>(end);
    return true;
  }
  std::size_t ReadAt(std::uint64_t offset, void* into, std::size_t count) override {
    if (offset >= size_ || count == 0) return 0;
    count = static_cast<std::size_t>(std::min<std::uint64_t>(count, size_ - offset));
    if (file_.pubseekpos(static_cast<std::streamoff>(offset), std::ios::in) < 0) return 0;
    std::size_t done = 0;
    auto* out = static_cast<char*>(into);
    while (done < count) {
      const std::size_t step = std::min<std::size_t>(count - done, std::numeric_limits<std::streamsize>::max());
      std::streamsize n = 0;
      try {
        n = file_.sgetn(out + done, static_cast<std::streamsize>(step));
      } catch (const std::ios_base::failure&) {
        break;  // a failing read (an I/O error) is a short read
      }
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    return done;
  }
  std::uint64_t Size() const override { return size_; }

 private:
  std::filebuf file_;
  std::uint64_t size_ = 0;
};

class MemorySource final : public Reader::Source {
 public:
  explicit MemorySource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::size_t ReadAt(std::uint64_t offset, void* into, std::size_t count) override {
    if (offset >= bytes_.size()) return 0;
    const std::size_t n = std::min<std::size_t>(count, bytes_.size() - static_cast<std::size_t>(offset));
    if (n > 0) std::memcpy(into, bytes_.data() + offset, n);
    return n;
  }
  std::uint64_t Size() const override { return bytes_.size(); }

 private:
  std::span<const std::uint8_t> bytes_;
};

}  // namespace

Reader::Reader(std::unique_ptr<Source> source) : source_(std::move(source)) {}
Reader::~Reader() = default;

std::unique_ptr<Reader> Reader::Open(const std::string& path, std::uint32_t& error) {
  auto source = std::make_unique<FileSource>();
  errno = 0;
  if (path.empty() || !source->Open(path)) {
    error = path.empty() ? kFileNotFound : OpenErrorFromErrno(errno);
    return nullptr;
  }
  error = kNoError;
  return std::unique_ptr<Reader>(new Reader(std::move(source)));
}

std::unique_ptr<Reader> Reader::FromMemory(std::span<const std::uint8_t> bytes) {
  return std::unique_ptr<Reader>(new Reader(std::make_unique<MemorySource>(bytes)));
}

std::size_t Reader::ReadAt(std::uint64_t offset, void* into, std::size_t count) {
  return source_->ReadAt(offset, into, count);
}

std::uint64_t Reader::Remaining() const {
  const std::uint64_t size = source_->Size();
  return position_ < size ? size - position_ : 0;
}

std::uint32_t Reader::DescendRiff(ChunkInfo& chunk, FourCC form) {
  const std::uint64_t start = position_;
  for (;;) {
    ChunkInfo found;
    if (Descend(found, nullptr, kRiff) != kNoError) {
      position_ = start;
      return kChunkNotFound;
    }
    if (found.formType == form) {
      chunk = found;
      return kNoError;
    }
    position_ = PaddedEnd(found);
  }
}

std::uint32_t Reader::Descend(ChunkInfo& chunk, const ChunkInfo* parent, FourCC id) {
  // A chunk inside a parent must begin within the parent's data.
  const std::uint64_t end = parent ? parent->dataOffset + parent->size : source_->Size();
  std::uint64_t at = position_;
  for (;;) {
    std::uint8_t header[12];
    if (at + 8 > end || ReadAt(at, header, 8) != 8) return kChunkNotFound;
    ChunkInfo c;
    c.id = LoadU32(header);
    c.size = LoadU32(header + 4);
    c.dataOffset = at + 8;
    const bool hasForm = c.id == kRiff || c.id == kList;
    if (hasForm) {
      if (ReadAt(at + 8, header + 8, 4) != 4) return kChunkNotFound;
      c.formType = LoadU32(header + 8);
    }
    if (c.id == id) {
      chunk = c;
      position_ = c.dataOffset + (hasForm ? 4 : 0);
      return kNoError;
    }
    at = PaddedEnd(c);
  }
}

std::size_t Reader::Read(void* into, std::size_t count) {
  const std::size_t n = ReadAt(position_, into, count);
  position_ += n;
  return n;
}

std::uint32_t Reader::Ascend(const ChunkInfo& chunk) {
  position_ = PaddedEnd(chunk);
  return kNoError;
}

// ---- Writer ------------------------------------------------------------------------------------

class Writer::File {
 public:
  std::filebuf buf;
};

Writer::Writer(std::unique_ptr<File> file) : file_(std::move(file)) {}
Writer::~Writer() {
  Close();
}

std::unique_ptr<Writer> Writer::Create(const std::string& path, std::uint32_t& error) {
  if (path.empty()) {
    error = kCannotOpen;
    return nullptr;
  }
  // Like the platform's delete before the create, which removes files only; its result does not
  // matter (std::remove alone would also take an empty folder of that name away).
  std::error_code ec;
  if (!std::filesystem::is_directory(path, ec)) std::remove(path.c_str());
  auto file = std::make_unique<File>();
  errno = 0;
  if (!file->buf.open(path, std::ios::out | std::ios::trunc | std::ios::binary)) {
    error = OpenErrorFromErrno(errno);
    return nullptr;
  }
  error = kNoError;
  return std::unique_ptr<Writer>(new Writer(std::move(file)));
}

std::size_t Writer::Write(const void* bytes, std::size_t count) {
  if (!file_) {
    failed_ = true;
    return 0;
  }
  std::size_t done = 0;
  const auto* in = static_cast<const char*>(bytes);
  while (done < count) {
    const std::size_t step = std::min<std::size_t>(count - done, std::numeric_limits<std::streamsize>::max());
    const std::streamsize n = file_->buf.sputn(in + done, static_cast<std::streamsize>(step));
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  if (done < count) failed_ = true;
  position_ += done;
  return done;
}

std::uint32_t Writer::CreateRiff(ChunkInfo& chunk, FourCC form) {
  std::uint8_t header[12];
  StoreU32(header, kRiff);
  StoreU32(header + 4, 0);
  StoreU32(header + 8, form);
  chunk = ChunkInfo{kRiff, 0, form, position_ + 8, true};  // size as in the header
  return Write(header, sizeof header) == sizeof header ? kNoError : kCannotWrite;
}

std::uint32_t Writer::CreateChunk(ChunkInfo& chunk, FourCC id, std::uint32_t announcedSize) {
  std::uint8_t header[8];
  StoreU32(header, id);
  StoreU32(header + 4, announcedSize);
  chunk = ChunkInfo{id, announcedSize, 0, position_ + 8, true};
  return Write(header, sizeof header) == sizeof header ? kNoError : kCannotWrite;
}

std::uint32_t Writer::Ascend(ChunkInfo& chunk) {
  if (!file_ || position_ < chunk.dataOffset) {
    failed_ = true;
    return kCannotSeek;
  }
  const std::uint64_t written = position_ - chunk.dataOffset;
  if (written > std::numeric_limits<std::uint32_t>::max()) {
    failed_ = true;
    return kCannotWrite;
  }
  if (written & 1u) {
    const std::uint8_t pad = 0;
    if (Write(&pad, 1) != 1) return kCannotWrite;
  }
  const auto size = static_cast<std::uint32_t>(written);
  if (chunk.written && size != chunk.size) {
    std::uint8_t field[4];
    StoreU32(field, size);
    const auto at = static_cast<std::streamoff>(chunk.dataOffset - 4);
    const bool ok = file_->buf.pubseekpos(at, std::ios::out) == at &&
                    file_->buf.sputn(reinterpret_cast<const char*>(field), 4) == 4 &&
                    file_->buf.pubseekpos(static_cast<std::streamoff>(position_), std::ios::out) ==
                        static_cast<std::streamoff>(position_);
    if (!ok) {
      failed_ = true;
      return kCannotSeek;
    }
  }
  chunk.size = size;
  return kNoError;
}

bool Writer::Close() {
  if (!file_) return !failed_;
  if (file_->buf.close() == nullptr) failed_ = true;
  file_.reset();
  return !failed_;
}

}  // namespace velkin::riff
