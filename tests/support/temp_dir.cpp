#include "temp_dir.h"

#include <atomic>
#include <chrono>
#include <random>

namespace velkin::test {

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  std::random_device rd;
  const auto base = std::filesystem::temp_directory_path();
  for (;;) {
    const auto name = "velkin-test-" + std::to_string(rd()) + "-" + std::to_string(counter++);
    path_ = base / name;
    std::error_code ec;
    if (std::filesystem::create_directory(path_, ec)) break;
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace velkin::test
