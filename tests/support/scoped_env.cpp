#include "scoped_env.h"

#include <cstdlib>

namespace velkin::test {

void SetEnv(const std::string& name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name.c_str(), value.c_str());
#else
  setenv(name.c_str(), value.c_str(), 1);
#endif
}

void UnsetEnv(const std::string& name) {
#ifdef _WIN32
  _putenv_s(name.c_str(), "");
#else
  unsetenv(name.c_str());
#endif
}

ScopedEnv::ScopedEnv(std::string name, const std::string& value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) previous_ = old;
  SetEnv(name_, value);
}

ScopedEnv::~ScopedEnv() {
  if (previous_) {
    SetEnv(name_, *previous_);
  } else {
    UnsetEnv(name_);
  }
}

}  // namespace velkin::test
