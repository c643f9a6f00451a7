// Sets an environment variable of the test process for the life of the object, then restores it.
#pragma once

#include <optional>
#include <string>

namespace velkin::test {

void SetEnv(const std::string& name, const std::string& value);
void UnsetEnv(const std::string& name);

class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

}  // namespace velkin::test
