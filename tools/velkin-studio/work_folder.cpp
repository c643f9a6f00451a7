#include "work_folder.h"

#include <system_error>

#include "platform.h"

namespace velkin::studio {

std::optional<WorkFolder> WorkFolder::Create() {
  std::error_code error;
  const auto base = std::filesystem::temp_directory_path(error);
  if (error) return std::nullopt;
  auto made = MakePrivateFolder(base, "velkin-studio-");
  if (!made) return std::nullopt;
  return WorkFolder(std::move(*made));
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
