// main() of the test bed suites. Without libumockdev-preload in the process, libudev would
// silently look at the machine's real /sys and the tests would prove nothing. So a process that
// was started without it starts itself again with it; if that is impossible (or the preload does
// not take), every test fails in its set-up (see bed_fixture.h).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

// Sanitizer settings the preload needs, whatever the environment says (the runtimes ask for
// these before they read their options; in a build without sanitizers nobody asks).
// The preload comes before the ASan runtime in the library list, which ASan would refuse.
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options() {
  return "verify_asan_link_order=0";
}
// Races inside the mocking libraries (umockdev's handler thread, GLib's sockets and main loop,
// and their descriptors that libudev then reads), not in the code under test.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
  return "race:libumockdev.so.0\n"
         "race:libumockdev-preload.so.0\n"
         "race:libglib-2.0.so.0\n"
         "race:libgio-2.0.so.0\n"
         "race:g_rec_mutex_clear\n"
         "race:libudev.so.1\n";
}

namespace {

constexpr const char* kPreload = "libumockdev-preload.so.0";
constexpr const char* kRestarted = "VELKIN_UMOCKDEV_RESTARTED";

void RestartWithPreload(char** argv) {
  const char* preload = std::getenv("LD_PRELOAD");
  const std::string current = preload != nullptr ? preload : "";
  if (current.find("libumockdev-preload") != std::string::npos || std::getenv(kRestarted) != nullptr) return;
  setenv("LD_PRELOAD", current.empty() ? kPreload : (std::string(kPreload) + ":" + current).c_str(), 1);
  setenv(kRestarted, "1", 1);
  execv("/proc/self/exe", argv);
  // Still here: the tests run without the preload and fail.
}

// umockdev puts the sockets of its ioctl handlers under TMPDIR, and a socket path must fit in
// 108 bytes: under a long TMPDIR the handlers are silently left out.
void KeepSocketPathsShort() {
  const char* tmp = std::getenv("TMPDIR");
  if (tmp != nullptr && std::string(tmp).size() > 48) setenv("TMPDIR", "/tmp", 1);
}

}  // namespace

int main(int argc, char** argv) {
  RestartWithPreload(argv);
  KeepSocketPathsShort();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
