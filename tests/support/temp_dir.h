// A temporary folder removed with everything in it when the object goes away.
#pragma once

#include <filesystem>
#include <string>

namespace velkin::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Path of a file inside the folder, as a narrow string for the C APIs.
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace velkin::test
