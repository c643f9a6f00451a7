#include "work_folder.h"

#include <stdlib.h>

#include <string>
#include <system_error>
#include <vector>

namespace velkin::studio {

std::optional<WorkFolder> WorkFolder::Create() {
  std::error_code error;
  const auto base = std::filesystem::temp_directory_path(error);
  if (error) return std::nullopt;
  std::string pattern = (base / "velkin-studio-XXXXXX").string();
  std::vector<char> text(pattern.begin(), pattern.end());
  text.push_back('\0');
  // mkdtemp makes the folder with mode 0700: other users can neither list nor read it.
  if (mkdtemp(text.data()) == nullptr) return std::nullopt;
  return WorkFolder(std::filesystem::path(text.data()));
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
