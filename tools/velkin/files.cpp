#include "files.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>

#include "device/qmlib/vendor_command_set.h"
#include "formats/code_file_layout.h"

namespace velkin::cli {

namespace fs = std::filesystem;

std::optional<OutputFile> OutputFile::Prepare(const std::string& path, std::string& error) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    error = "a folder, not a file";
    return std::nullopt;
  }
  OutputFile file(path, path + ".velkin-part");
  if (!file.Write({}, error)) {
    file.part_.clear();  // nothing was made
    return std::nullopt;
  }
  return file;
}

OutputFile::OutputFile(OutputFile&& other) noexcept : path_(std::move(other.path_)), part_(std::move(other.part_)) {
  other.part_.clear();
}

OutputFile::~OutputFile() {
  if (part_.empty()) return;
  std::error_code ec;
  fs::remove(part_, ec);
}

bool OutputFile::Write(std::span<const std::uint8_t> bytes, std::string& error) {
  std::FILE* file = std::fopen(part_.c_str(), "wb");
  if (file == nullptr) {
    error = std::strerror(errno);
    return false;
  }
  bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (!ok) error = std::strerror(errno);
  if (std::fclose(file) != 0 && ok) {
    ok = false;
    error = std::strerror(errno);
  }
  return ok;
}

bool OutputFile::Commit(std::string& error) {
  std::error_code ec;
  fs::rename(part_, path_, ec);
  if (ec) {
    error = ec.message();
    return false;
  }
  part_.clear();
  return true;
}

std::optional<WorkFolder> WorkFolder::Make(std::string& error) {
  std::error_code ec;
  const fs::path base = fs::temp_directory_path(ec);
  if (ec) {
    error = "no temporary folder: " + ec.message();
    return std::nullopt;
  }
  std::random_device random;
  for (int attempt = 0; attempt < 16; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "velkin-%08x", static_cast<unsigned>(random()));
    const fs::path path = base / name;
    if (fs::create_directory(path, ec)) return WorkFolder(path);
    if (ec) break;
  }
  error = "cannot make a folder in " + base.string() + (ec ? ": " + ec.message() : "");
  return std::nullopt;
}

WorkFolder::~WorkFolder() {
  if (path_.empty()) return;
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string WithExtension(const std::string& path, const std::string& extension) {
  fs::path p(path);
  p.replace_extension(extension);
  return p.string();
}

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  return fs::equivalent(a, b, ec) && !ec;
}

std::optional<std::vector<std::uint8_t>> ReadFileBytes(const std::string& path, std::uint64_t limit,
                                                       std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = errno == ENOENT ? "the file does not exist" : std::strerror(errno);
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes;
  std::uint8_t chunk[65536];
  std::size_t n = 0;
  bool ok = true;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    if (bytes.size() + n > limit) {
      error = "larger than " + std::to_string(limit) + " bytes";
      ok = false;
      break;
    }
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  if (ok && std::ferror(file) != 0) {
    error = "the file cannot be read";
    ok = false;
  }
  std::fclose(file);
  if (!ok) return std::nullopt;
  return bytes;
}

FileKind KindOf(std::span<const std::uint8_t> head) {
  if (head.size() >= 12 && std::memcmp(head.data(), "RIFF", 4) == 0 && std::memcmp(head.data() + 8, "WAVE", 4) == 0) {
    return FileKind::kWave;
  }
  if (codefile::LooksLikeHeader(head) && decode::FindDecoder(head[4]) != nullptr) return FileKind::kCode;
  return FileKind::kOther;
}

std::optional<std::vector<std::uint8_t>> FileHead(const std::string& path, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = errno == ENOENT ? "the file does not exist" : std::strerror(errno);
    return std::nullopt;
  }
  std::vector<std::uint8_t> head(12);
  head.resize(std::fread(head.data(), 1, head.size(), file));
  std::fclose(file);
  return head;
}

std::optional<CodeFile> LoadCodeFile(const std::string& path, std::uint32_t clock, std::string& error) {
  // No unit holds more than its flash, so a larger file is no code file for one.
  constexpr std::uint64_t kLargest = std::uint64_t{1} << velkin::qm::kLargestCapacityCode;
  auto bytes = ReadFileBytes(path, kLargest, error);
  if (!bytes) return std::nullopt;
  auto decoded = decode::DecodeCodeFile(*bytes, clock, error);
  if (!decoded) {
    error = "not a code file that can be read: " + error;
    return std::nullopt;
  }
  return CodeFile{std::move(*bytes), std::move(*decoded)};
}

std::string SecondsText(double seconds) {
  char text[48];
  std::snprintf(text, sizeof text, "%.2f s", seconds);
  return text;
}

std::string DecibelText(double db) {
  if (std::isinf(db)) return db > 0 ? "inf" : "-inf";
  char text[48];
  std::snprintf(text, sizeof text, "%.2f", db);
  return text;
}

nlohmann::json DecibelJson(double db) {
  return std::isfinite(db) ? nlohmann::json(std::round(db * 100.0) / 100.0) : nlohmann::json(nullptr);
}

void FileFailed(const Session& session, const std::string& command, const std::string& file,
                const std::string& message) {
  session.Error(SafeText(file) + ": " + SafeText(message, 300));
  if (session.json) session.Emit({{"command", command}, {"file", file}, {"ok", false}, {"message", message}});
}

}  // namespace velkin::cli
