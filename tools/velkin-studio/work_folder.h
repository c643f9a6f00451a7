// The studio's private work folder: made readable by its owner only, removed with everything in
// it when the object goes. Its name carries the process number, so that a folder left behind by a
// studio that was killed can be told apart from one in use, and removed by the next start.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

namespace velkin::studio {

class WorkFolder {
 public:
  // A new folder under the system's temporary folder; nothing when it cannot be made.
  static std::optional<WorkFolder> Create();
  // Removes the work folders under `base` (the temporary folder when empty) that belong to the
  // current user and whose studio no longer runs; the folders removed.
  static std::vector<std::filesystem::path> RemoveAbandoned(std::filesystem::path base = {});

  WorkFolder(WorkFolder&& other) noexcept;
  WorkFolder& operator=(WorkFolder&&) = delete;
  WorkFolder(const WorkFolder&) = delete;
  ~WorkFolder();

  const std::filesystem::path& path() const { return path_; }

 private:
  explicit WorkFolder(std::filesystem::path path) : path_(std::move(path)) {}
  std::filesystem::path path_;
};

}  // namespace velkin::studio
