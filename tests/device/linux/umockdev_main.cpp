// main() of the test bed suites. Without libumockdev-preload in the process, libudev would
// silently look at the machine's real /sys and the tests would prove nothing. So a process that
// was started without it starts itself again with it; if that is impossible (or the preload does
// not take), every test fails in its set-up (see RequireMockEnvironment).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

constexpr const char* kPreload = "libumockdev-preload.so.0";
constexpr const char* kRestarted = "VELKIN_UMOCKDEV_RESTARTED";

void RestartWithPreload(char** argv) {
  const char* preload = std::getenv("LD_PRELOAD");
  const std::string current = preload != nullptr ? preload : "";
  if (current.find("libumockdev-preload") != std::string::npos || std::getenv(kRestarted) != nullptr) return;
  setenv("LD_PRELOAD", current.empty() ? kPreload : (std::string(kPreload) + ":" + current).c_str(), 1);
  setenv(kRestarted, "1", 1);
  // A sanitizer runtime would object to not being first in the list.
  const char* asan = std::getenv("ASAN_OPTIONS");
  setenv("ASAN_OPTIONS",
         (std::string(asan != nullptr ? asan : "") + (asan != nullptr && *asan ? ":" : "") + "verify_asan_link_order=0")
             .c_str(),
         1);
  execv("/proc/self/exe", argv);
  // Still here: the tests run without the preload and fail.
}

}  // namespace

int main(int argc, char** argv) {
  RestartWithPreload(argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
