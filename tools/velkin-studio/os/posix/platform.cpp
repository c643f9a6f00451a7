// The studio program's system calls on Linux (and other POSIX systems).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "tools/velkin-studio/platform.h"

extern char** environ;

namespace velkin::studio {

const bool kBindReusesAddress = true;

// The stop signals are blocked in every thread and taken by sigwait; SIGUSR1 is the one Release
// sends, which stays pending until taken, so a Release before the Wait is not lost.
struct StopRequests::Impl {
  sigset_t signals;
};

StopRequests::StopRequests() : impl_(std::make_unique<Impl>()) {
  sigemptyset(&impl_->signals);
  for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&impl_->signals, s);
  pthread_sigmask(SIG_BLOCK, &impl_->signals, nullptr);
  // A client that goes away mid-answer must not end the program.
  signal(SIGPIPE, SIG_IGN);
}

StopRequests::~StopRequests() = default;

void StopRequests::Wait() {
  int taken = 0;
  sigwait(&impl_->signals, &taken);
}

void StopRequests::Release() {
  kill(getpid(), SIGUSR1);
}

bool OpenBrowser(const std::string& url) {
  const char* argv[] = {"xdg-open", url.c_str(), nullptr};
  pid_t pid = 0;
  if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return false;
  std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
  return true;
}

std::optional<std::filesystem::path> MakePrivateFolder(const std::filesystem::path& base, const std::string& prefix) {
  const std::string pattern = (base / (prefix + "XXXXXX")).string();
  std::vector<char> text(pattern.begin(), pattern.end());
  text.push_back('\0');
  // mkdtemp makes the folder with mode 0700: other users can neither list nor read it.
  if (mkdtemp(text.data()) == nullptr) return std::nullopt;
  return std::filesystem::path(text.data());
}

}  // namespace velkin::studio
