#include "program_paths.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>

#include <climits>
#endif

namespace velkin::test {

std::string ExecutableDir() {
#ifdef _WIN32
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string s(path);
  return s.substr(0, s.find_last_of("\\/"));
#else
  char path[PATH_MAX] = {};
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string s(path, n > 0 ? static_cast<std::size_t>(n) : 0);
  return s.substr(0, s.find_last_of('/'));
#endif
}

std::string ProgramPath(const std::string& name) {
#ifdef _WIN32
  return ExecutableDir() + "\\" + name + ".exe";
#else
  return ExecutableDir() + "/" + name;
#endif
}

std::optional<std::string> FindOnPath(const std::string& name) {
#ifdef _WIN32
  (void)name;
  return std::nullopt;
#else
  const char* path = std::getenv("PATH");
  if (!path) return std::nullopt;
  const std::string all(path);
  for (std::size_t at = 0; at <= all.size();) {
    const std::size_t end = std::min(all.find(':', at), all.size());
    const std::filesystem::path candidate = std::filesystem::path(all.substr(at, end - at)) / name;
    std::error_code ec;
    if (end > at && std::filesystem::exists(candidate, ec)) return candidate.string();
    at = end + 1;
  }
  return std::nullopt;
#endif
}

}  // namespace velkin::test
