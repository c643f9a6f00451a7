// Locating the programs built next to the test executables.
#pragma once

#include <optional>
#include <string>

namespace velkin::test {

// Folder of the running test executable.
std::string ExecutableDir();

// Full path of a program of the build, in the same folder as the tests (".exe" added on Windows).
std::string ProgramPath(const std::string& name);

// A tool of the build machine found on PATH (sox, say); nothing on Windows, where the tests do not
// run the host's POSIX tools.
std::optional<std::string> FindOnPath(const std::string& name);

}  // namespace velkin::test
