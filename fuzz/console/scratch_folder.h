// A folder of a fuzz target's own under /tmp, removed when the target ends.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace velkin::fuzz {

// Makes the folder from a mkdtemp pattern ("/tmp/name-XXXXXX") and returns its path.
inline std::string MakeScratchFolder(std::string pattern) {
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  static std::string made;
  made = pattern;
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(made, ec);
  });
  return made;
}

}  // namespace velkin::fuzz
