#include "program_paths.h"

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

}  // namespace velkin::test
