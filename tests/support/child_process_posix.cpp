#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>

#include "child_process.h"

extern char** environ;

namespace velkin::test {

namespace {

class PosixChild final : public ChildProcess {
 public:
  PosixChild(pid_t pid, int in, int out) : pid_(pid), in_(in), out_(out) {}
  ~PosixChild() override {
    CloseInput();
    if (out_ >= 0) close(out_);
    if (pid_ > 0) {
      if (Wait(std::chrono::milliseconds(0)) == -1 && pid_ > 0) {
        Kill();
      }
    }
  }

  bool Write(const std::string& bytes) override {
    if (in_ < 0) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(in_, bytes.data() + done, bytes.size() - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  void CloseInput() override {
    if (in_ >= 0) close(in_);
    in_ = -1;
  }

  int Wait(std::chrono::milliseconds timeout) override {
    if (pid_ <= 0) return status_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      int st = 0;
      const pid_t r = waitpid(pid_, &st, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        return status_;
      }
      if (r < 0 && errno != EINTR) return -1;
      if (std::chrono::steady_clock::now() >= deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  bool Interrupt() override { return pid_ > 0 && kill(pid_, SIGINT) == 0; }
  std::uint64_t Pid() const override { return pid_ > 0 ? static_cast<std::uint64_t>(pid_) : 0; }

  void Kill() override {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    int st = 0;
    waitpid(pid_, &st, 0);
    pid_ = -1;
  }

 protected:
  bool ReadSome(std::string& into, std::chrono::milliseconds timeout) override {
    if (out_ < 0) {
      MarkClosed();
      return false;
    }
    pollfd p{out_, POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(timeout.count()));
    if (r <= 0) return false;
    char buf[4096];
    const ssize_t n = read(out_, buf, sizeof buf);
    if (n <= 0) {
      close(out_);
      out_ = -1;
      MarkClosed();
      return false;
    }
    into.append(buf, static_cast<std::size_t>(n));
    return true;
  }

 private:
  pid_t pid_;
  int in_;
  int out_;
  int status_ = -1;
};

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                                                  const Environment& env, const std::string& stderr_path) {
  int in_pipe[2];
  int out_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0) return nullptr;
  if (pipe2(out_pipe, O_CLOEXEC) != 0) {
    close(in_pipe[0]);
    close(in_pipe[1]);
    return nullptr;
  }
  // Build argv and envp before fork: only async-signal-safe calls happen in the child.
  std::vector<std::string> argv_s{program};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::map<std::string, std::string> merged;
  for (char** e = environ; *e; ++e) {
    const std::string kv(*e);
    const auto eq = kv.find('=');
    if (eq != std::string::npos) merged[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (const auto& [k, v] : env) merged[k] = v;
  std::vector<std::string> env_s;
  for (const auto& [k, v] : merged) env_s.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& e : env_s) envp.push_back(e.data());
  envp.push_back(nullptr);

  int err_fd = -1;
  if (!stderr_path.empty()) {
    err_fd = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (err_fd < 0) {
      for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1]}) close(fd);
      return nullptr;
    }
  }

  signal(SIGPIPE, SIG_IGN);
  const pid_t pid = fork();
  if (pid < 0) return nullptr;
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    if (err_fd >= 0) dup2(err_fd, 2);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  if (err_fd >= 0) close(err_fd);
  return std::make_unique<PosixChild>(pid, in_pipe[1], out_pipe[0]);
}

}  // namespace velkin::test
