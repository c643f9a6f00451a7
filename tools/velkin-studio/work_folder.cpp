#include "work_folder.h"

#include <string>
#include <system_error>

#include "platform.h"

namespace velkin::studio {
namespace {

// "velkin-studio-<process number>-<unique>"
constexpr std::string_view kPrefix = "velkin-studio-";

// The process number in a work folder's name, or nothing for any other name.
std::optional<std::uint64_t> OwnerProcess(const std::string& name) {
  if (name.compare(0, kPrefix.size(), kPrefix) != 0) return std::nullopt;
  const std::size_t dash = name.find('-', kPrefix.size());
  const std::size_t digits = dash == std::string::npos ? 0 : dash - kPrefix.size();
  if (digits == 0 || digits > 10 || dash + 1 >= name.size()) return std::nullopt;
  std::uint64_t pid = 0;
  for (std::size_t i = kPrefix.size(); i < dash; ++i) {
    if (name[i] < '0' || name[i] > '9') return std::nullopt;
    pid = pid * 10 + static_cast<std::uint64_t>(name[i] - '0');
  }
  return pid;
}

}  // namespace

std::optional<WorkFolder> WorkFolder::Create() {
  std::error_code error;
  const auto base = std::filesystem::temp_directory_path(error);
  if (error) return std::nullopt;
  auto made = MakePrivateFolder(base, std::string(kPrefix) + std::to_string(CurrentProcessId()) + "-");
  if (!made) return std::nullopt;
  return WorkFolder(std::move(*made));
}

std::vector<std::filesystem::path> WorkFolder::RemoveAbandoned(std::filesystem::path base) {
  std::vector<std::filesystem::path> removed;
  std::error_code error;
  if (base.empty()) base = std::filesystem::temp_directory_path(error);
  if (error) return removed;
  for (std::filesystem::directory_iterator it(base, error), end; !error && it != end; it.increment(error)) {
    const auto pid = OwnerProcess(it->path().filename().string());
    // Only this user's folders, and only once their studio is gone: a folder of a studio still
    // running, or of another user, stays whatever its age.
    if (!pid || *pid == CurrentProcessId() || ProcessRuns(*pid) || !OwnFolder(it->path())) continue;
    removed.push_back(it->path());
  }
  for (const auto& folder : removed) std::filesystem::remove_all(folder, error);
  return removed;
}

WorkFolder::WorkFolder(WorkFolder&& other) noexcept : path_(std::move(other.path_)) {
  other.path_.clear();
}

WorkFolder::~WorkFolder() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace velkin::studio
