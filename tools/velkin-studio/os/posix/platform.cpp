// The studio program's system calls on Linux (and other POSIX systems).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

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

std::uint64_t CurrentProcessId() {
  return static_cast<std::uint64_t>(getpid());
}

bool ProcessRuns(std::uint64_t pid) {
  if (pid == 0 || pid > static_cast<std::uint64_t>(std::numeric_limits<pid_t>::max())) return false;
  // Signal 0 only asks: EPERM means it runs as another user.
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

bool OwnFolder(const std::filesystem::path& folder) {
  struct stat info {};
  return lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid();
}

std::size_t DescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
  return static_cast<std::size_t>(limit.rlim_cur);
}

}  // namespace velkin::studio
