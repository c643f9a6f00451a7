// The studio's private work folder: made readable by its owner only, removed with everything in
// it when the object goes.
#pragma once

#include <filesystem>
#include <optional>

namespace velkin::studio {

class WorkFolder {
 public:
  // A new folder under the system's temporary folder; nothing when it cannot be made.
  static std::optional<WorkFolder> Create();
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
