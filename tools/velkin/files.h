// What the file commands share: telling a WAV file from a code file, reading a code file, files
// written under a temporary name beside their place and moved into it only when whole, a private
// work folder, the names they derive, and how a file's failure is reported.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "formats/code_file.h"
#include "tools/velkin/session.h"

namespace velkin::cli {

// A file to be written: the bytes go to a temporary name in the same folder ("NAME.velkin-part"),
// which Commit renames onto the file's own name. Until then an existing file of that name stays as
// it was, and a file given up (or a command that fails) leaves nothing behind.
class OutputFile {
 public:
  // Makes the temporary file, so that a folder that is missing or cannot be written is said
  // before any work starts. Nothing, with the reason, when it cannot be made, or when `path`
  // names a folder.
  static std::optional<OutputFile> Prepare(const std::string& path, std::string& error);
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&&) = delete;
  ~OutputFile();

  const std::string& path() const { return path_; }
  const std::string& part() const { return part_; }
  // Writes `bytes` to the temporary file (replacing what it holds).
  bool Write(std::span<const std::uint8_t> bytes, std::string& error);
  // Moves the temporary file onto the file's name.
  bool Commit(std::string& error);

 private:
  OutputFile(std::string path, std::string part) : path_(std::move(path)), part_(std::move(part)) {}
  std::string path_;
  std::string part_;  // empty once committed or moved from
};

// A folder of the command's own under the system's temporary folder, removed with what it holds.
class WorkFolder {
 public:
  static std::optional<WorkFolder> Make(std::string& error);
  WorkFolder(WorkFolder&& other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }
  WorkFolder& operator=(WorkFolder&&) = delete;
  ~WorkFolder();
  std::string File(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& path() const { return path_; }

 private:
  explicit WorkFolder(std::filesystem::path path) : path_(std::move(path)) {}
  std::filesystem::path path_;
};

// `path` with the extension of its file name (not of a folder) replaced by `extension` (".vsk").
std::string WithExtension(const std::string& path, const std::string& extension);

// Whether two paths name the same existing file.
bool SameFile(const std::string& a, const std::string& b);

// The whole file, up to `limit` bytes; nothing, with the reason, when it cannot be read or is
// larger.
std::optional<std::vector<std::uint8_t>> ReadFileBytes(const std::string& path, std::uint64_t limit,
                                                       std::string& error);

// What a file holds, told by its first bytes, never by its name.
enum class FileKind { kWave, kCode, kOther };
FileKind KindOf(std::span<const std::uint8_t> head);
// The first bytes of a file (up to 12, enough for KindOf); nothing, with the reason, when it
// cannot be opened.
std::optional<std::vector<std::uint8_t>> FileHead(const std::string& path, std::string& error);

// The device clock the console encodes for, and so the clock a code file is read with when its
// rate has to be estimated from its timer.
inline constexpr std::uint32_t kConsoleClock = 12000000;

// A code file read and decoded (its size bounded by the largest flash a unit has).
struct CodeFile {
  std::vector<std::uint8_t> bytes;
  decode::DecodedFile decoded;
};
std::optional<CodeFile> LoadCodeFile(const std::string& path, std::uint32_t clock, std::string& error);

// "1.25 s" (two decimals).
std::string SecondsText(double seconds);
// "%.2f" of a finite value; "inf" and "-inf" otherwise.
std::string DecibelText(double db);
// A decibel figure for JSON: rounded to two decimals, null when not finite.
nlohmann::json DecibelJson(double db);

// A file the command could not do: "velkin: FILE: MESSAGE" on standard error, and with --json also
// {"command", "file", "ok": false, "message"} on standard output.
void FileFailed(const Session& session, const std::string& command, const std::string& file,
                const std::string& message);

}  // namespace velkin::cli
