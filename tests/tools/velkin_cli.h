// velkin run as a separate program over virtual devices: its standard output line by line, its
// standard error, its exit status.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/virtual_devices.h"
#include "tests/support/wav_builder.h"  // ReadFileBytes

namespace velkin::test {

struct CliRun {
  int status = -1;
  std::vector<std::string> out;
  std::string err;

  // The lines of standard output as JSON objects (a line that is not one fails the test).
  std::vector<nlohmann::json> Json() const;
  // The JSON result of the unit whose name starts with `folder` + "@".
  nlohmann::json Of(const std::string& folder) const;
  std::string Text() const;
};

class VelkinCli {
 public:
  explicit VelkinCli(VirtualDevices& devices) : devices_(devices) {}

  // Runs velkin to its end with these arguments.
  CliRun Run(const std::vector<std::string>& args, std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // Starts it and leaves it running; its standard error goes to ErrPath().
  std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& args);
  std::string ErrPath() const { return files_.File("stderr.txt"); }
  std::string ReadErr() const;

  // The unit name the library gives the virtual device in folder `folder` (from velkin devices).
  std::string Name(const std::string& folder);
  // A file in a folder of the test's own.
  std::string File(const std::string& name) const { return files_.File(name); }
  std::string WriteFile(const std::string& name, const std::vector<std::uint8_t>& bytes) const;

 private:
  VirtualDevices& devices_;
  TempDir files_;
  std::map<std::string, std::string> names_;
};

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed = 1);

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace velkin::test
