#include <windows.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <thread>

#include "child_process.h"

namespace velkin::test {

namespace {

class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() { reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  HANDLE* out() { return &h_; }
  void reset() {
    if (h_ != nullptr && h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    h_ = nullptr;
  }

 private:
  HANDLE h_ = nullptr;
};

std::string QuoteArg(const std::string& a) {
  if (!a.empty() && a.find_first_of(" \t\"") == std::string::npos) return a;
  std::string q = "\"";
  std::size_t backslashes = 0;
  for (char c : a) {
    if (c == '\\') {
      ++backslashes;
    } else if (c == '"') {
      q.append(backslashes * 2 + 1, '\\');
      q += '"';
      backslashes = 0;
      continue;
    } else {
      backslashes = 0;
    }
    q += c;
  }
  q.append(backslashes, '\\');
  q += '"';
  return q;
}

class Win32Child final : public ChildProcess {
 public:
  Win32Child(HANDLE process, HANDLE in, HANDLE out) : process_(process), in_(in), out_(out) {}
  ~Win32Child() override {
    CloseInput();
    if (Wait(std::chrono::milliseconds(0)) == -1) Kill();
  }

  bool Write(const std::string& bytes) override {
    if (in_.get() == nullptr) return false;
    DWORD done = 0;
    return WriteFile(in_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr) && done == bytes.size();
  }

  void CloseInput() override { in_.reset(); }

  int Wait(std::chrono::milliseconds timeout) override {
    if (exited_) return status_;
    if (WaitForSingleObject(process_.get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    exited_ = true;
    status_ = static_cast<int>(code);
    return status_;
  }

  bool Interrupt() override { return false; }
  std::uint64_t Pid() const override { return exited_ ? 0 : GetProcessId(process_.get()); }

  void Kill() override {
    if (!exited_) {
      TerminateProcess(process_.get(), 1);
      WaitForSingleObject(process_.get(), 5000);
      exited_ = true;
    }
  }

 protected:
  bool ReadSome(std::string& into, std::chrono::milliseconds timeout) override {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      DWORD avail = 0;
      if (!PeekNamedPipe(out_.get(), nullptr, 0, nullptr, &avail, nullptr)) {
        MarkClosed();
        return false;
      }
      if (avail > 0) {
        char buf[4096];
        DWORD n = 0;
        if (!ReadFile(out_.get(), buf, avail < sizeof buf ? avail : sizeof buf, &n, nullptr) || n == 0) {
          MarkClosed();
          return false;
        }
        into.append(buf, n);
        return true;
      }
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

 private:
  Handle process_;
  Handle in_;
  Handle out_;
  bool exited_ = false;
  int status_ = -1;
};

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                                                  const Environment& env, const std::string& stderr_path) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE in_read = nullptr, in_write = nullptr, out_read = nullptr, out_write = nullptr;
  if (!CreatePipe(&in_read, &in_write, &sa, 0)) return nullptr;
  if (!CreatePipe(&out_read, &out_write, &sa, 0)) {
    CloseHandle(in_read);
    CloseHandle(in_write);
    return nullptr;
  }
  SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);

  std::string cmd = QuoteArg(program);
  for (const auto& a : args) {
    cmd += ' ';
    cmd += QuoteArg(a);
  }

  // Environment block: the current one with the given entries added or replaced.
  std::map<std::string, std::string> merged;
  if (char* block = GetEnvironmentStringsA()) {
    for (char* e = block; *e; e += std::strlen(e) + 1) {
      const std::string kv(e);
      const auto eq = kv.find('=', 1);
      if (eq != std::string::npos) merged[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    FreeEnvironmentStringsA(block);
  }
  for (const auto& [k, v] : env) merged[k] = v;
  std::string env_block;
  for (const auto& [k, v] : merged) {
    env_block += k + "=" + v;
    env_block.push_back('\0');
  }
  env_block.push_back('\0');

  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in_read;
  si.hStdOutput = out_write;
  HANDLE err_file = nullptr;
  if (!stderr_path.empty()) {
    err_file = CreateFileA(stderr_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (err_file == INVALID_HANDLE_VALUE) err_file = nullptr;
  }
  si.hStdError = err_file != nullptr ? err_file : GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION pi{};
  // Under Wine on a loaded machine a process start has been seen to fail once in a long run; a
  // start is tried again before the test is failed, and each failure says why on stderr.
  BOOL ok = FALSE;
  for (int attempt = 1; attempt <= 3 && !ok; ++attempt) {
    ok = CreateProcessA(program.c_str(), cmd.data(), nullptr, nullptr, TRUE, 0, env_block.data(), nullptr, &si, &pi);
    if (!ok) {
      std::fprintf(stderr, "CreateProcessA(%s) failed, attempt %d: error %lu\n", program.c_str(), attempt,
                   static_cast<unsigned long>(GetLastError()));
      Sleep(500);
    }
  }
  CloseHandle(in_read);
  CloseHandle(out_write);
  if (err_file != nullptr) CloseHandle(err_file);
  if (!ok) {
    CloseHandle(in_write);
    CloseHandle(out_read);
    return nullptr;
  }
  CloseHandle(pi.hThread);
  return std::make_unique<Win32Child>(pi.hProcess, in_write, out_read);
}

}  // namespace velkin::test
