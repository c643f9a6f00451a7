#include "riff/riff_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <new>

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
  return Find(chunk, parent, &id);
}

std::uint32_t Reader::DescendNext(ChunkInfo& chunk, const ChunkInfo* parent) {
  return Find(chunk, parent, nullptr);
}

std::uint32_t Reader::Find(ChunkInfo& chunk, const ChunkInfo* parent, const FourCC* id) {
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
    if (id == nullptr || c.id == *id) {
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

void Reader::Restart(const ChunkInfo& chunk) {
  position_ = chunk.dataOffset + (chunk.id == kRiff || chunk.id == kList ? 4 : 0);
}

// ---- Writer ------------------------------------------------------------------------------------

// Where written bytes go: a file, or a byte vector in memory.
class Writer::Target {
 public:
  virtual ~Target() = default;
  // Appends up to `count` bytes; returns how many were taken.
  virtual std::size_t Append(const std::uint8_t* bytes, std::size_t count) = 0;
  // Overwrites bytes already written at `offset` (a size field); false when that fails.
  virtual bool Patch(std::uint64_t offset, const std::uint8_t* bytes, std::size_t count) = 0;
  virtual bool Close() = 0;
};

namespace {

class FileTarget final : public Writer::Target {
 public:
  bool Open(const std::string& path) {
    position_ = 0;
    return buf_.open(path, std::ios::out | std::ios::trunc | std::ios::binary) != nullptr;
  }
  std::size_t Append(const std::uint8_t* bytes, std::size_t count) override {
    std::size_t done = 0;
    const auto* in = reinterpret_cast<const char*>(bytes);
    while (done < count) {
      const std::size_t step = std::min<std::size_t>(count - done, std::numeric_limits<std::streamsize>::max());
      const std::streamsize n = buf_.sputn(in + done, static_cast<std::streamsize>(step));
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    position_ += done;
    return done;
  }
  bool Patch(std::uint64_t offset, const std::uint8_t* bytes, std::size_t count) override {
    const auto at = static_cast<std::streamoff>(offset);
    const auto end = static_cast<std::streamoff>(position_);
    return buf_.pubseekpos(at, std::ios::out) == at &&
           buf_.sputn(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(count)) ==
               static_cast<std::streamsize>(count) &&
           buf_.pubseekpos(end, std::ios::out) == end;
  }
  bool Close() override { return buf_.close() != nullptr; }

 private:
  std::filebuf buf_;
  std::uint64_t position_ = 0;
};

class MemoryTarget final : public Writer::Target {
 public:
  explicit MemoryTarget(std::vector<std::uint8_t>& bytes) : bytes_(bytes) { bytes_.clear(); }
  std::size_t Append(const std::uint8_t* bytes, std::size_t count) override {
    try {
      bytes_.insert(bytes_.end(), bytes, bytes + count);
    } catch (const std::bad_alloc&) {
      return 0;
    }
    return count;
  }
  bool Patch(std::uint64_t offset, const std::uint8_t* bytes, std::size_t count) override {
    if (offset > bytes_.size() || count > bytes_.size() - offset) return false;
    std::copy_n(bytes, count, bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
    return true;
  }
  bool Close() override { return true; }

 private:
  std::vector<std::uint8_t>& bytes_;
};

}  // namespace

Writer::Writer(std::unique_ptr<Target> target) : target_(std::move(target)) {}
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
  auto file = std::make_unique<FileTarget>();
  errno = 0;
  if (!file->Open(path)) {
    error = OpenErrorFromErrno(errno);
    return nullptr;
  }
  error = kNoError;
  return std::unique_ptr<Writer>(new Writer(std::move(file)));
}

std::unique_ptr<Writer> Writer::ToMemory(std::vector<std::uint8_t>& bytes) {
  return std::unique_ptr<Writer>(new Writer(std::make_unique<MemoryTarget>(bytes)));
}

std::size_t Writer::Write(const void* bytes, std::size_t count) {
  if (!target_) {
    failed_ = true;
    return 0;
  }
  const std::size_t done = target_->Append(static_cast<const std::uint8_t*>(bytes), count);
  if (done < count) failed_ = true;
  position_ += done;
  return done;
}

namespace {

std::uint32_t CreateForm(Writer& writer, std::uint64_t position, ChunkInfo& chunk, FourCC id, FourCC form) {
  std::uint8_t header[12];
  StoreU32(header, id);
  StoreU32(header + 4, 0);
  StoreU32(header + 8, form);
  chunk = ChunkInfo{id, 0, form, position + 8, true};  // size as in the header
  return writer.Write(header, sizeof header) == sizeof header ? kNoError : kCannotWrite;
}

}  // namespace

std::uint32_t Writer::CreateRiff(ChunkInfo& chunk, FourCC form) {
  return CreateForm(*this, position_, chunk, kRiff, form);
}

std::uint32_t Writer::CreateList(ChunkInfo& chunk, FourCC form) {
  return CreateForm(*this, position_, chunk, kList, form);
}

std::uint32_t Writer::CreateChunk(ChunkInfo& chunk, FourCC id, std::uint32_t announcedSize) {
  std::uint8_t header[8];
  StoreU32(header, id);
  StoreU32(header + 4, announcedSize);
  chunk = ChunkInfo{id, announcedSize, 0, position_ + 8, true};
  return Write(header, sizeof header) == sizeof header ? kNoError : kCannotWrite;
}

std::uint32_t Writer::Ascend(ChunkInfo& chunk) {
  if (!target_ || position_ < chunk.dataOffset) {
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
    if (!target_->Patch(chunk.dataOffset - 4, field, sizeof field)) {
      failed_ = true;
      return kCannotSeek;
    }
  }
  chunk.size = size;
  return kNoError;
}

bool Writer::Close() {
  if (!target_) return !failed_;
  if (!target_->Close()) failed_ = true;
  target_.reset();
  return !failed_;
}

}  // namespace velkin::riff
