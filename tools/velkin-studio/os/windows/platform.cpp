// The studio program's system calls on Windows.
#include <windows.h>
// After windows.h:
#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>
#include <shellapi.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <vector>

#include "tools/velkin-studio/platform.h"

namespace velkin::studio {

const bool kBindReusesAddress = false;

struct StopRequests::Impl {
  std::mutex lock;
  std::condition_variable changed;
  bool asked = false;
  bool finished = false;
};

namespace {

StopRequests::Impl* g_stop = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  StopRequests::Impl* stop = g_stop;
  if (stop == nullptr) return FALSE;
  std::unique_lock guard(stop->lock);
  stop->asked = true;
  stop->changed.notify_all();
  // Ctrl-C and Ctrl-Break leave the process to end by itself. For a closing console window, a
  // logoff or a shutdown the system ends the process once this returns: give it the time to
  // remove its work folder first (the system allows about five seconds).
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    stop->changed.wait_for(guard, std::chrono::seconds(4), [stop] { return stop->finished; });
  }
  return TRUE;
}

std::wstring Wide(const std::string& text) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), n);
  out.resize(static_cast<std::size_t>(n - 1));
  return out;
}

// "D:P(A;OICI;FA;;;<the current user>)": full access for the user, inherited by everything made
// inside, and nothing for anyone else (P: no rights inherited from the temporary folder).
std::wstring OwnerOnlyDescriptor() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  std::wstring descriptor;
  if (size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
    LPWSTR sid = nullptr;
    if (ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid)) {
      descriptor = L"D:P(A;OICI;FA;;;" + std::wstring(sid) + L")";
      LocalFree(sid);
    }
  }
  CloseHandle(token);
  return descriptor;
}

}  // namespace

StopRequests::StopRequests() : impl_(std::make_unique<Impl>()) {
  g_stop = impl_.get();
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

StopRequests::~StopRequests() {
  {
    std::lock_guard guard(impl_->lock);
    impl_->finished = true;
    impl_->changed.notify_all();
  }
  // A handler that is still waiting keeps its own pointer; the object stays valid while the
  // process ends, so it is left in place rather than freed under that handler.
  if (impl_->asked) {
    impl_.release();
    return;
  }
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  g_stop = nullptr;
}

void StopRequests::Wait() {
  std::unique_lock guard(impl_->lock);
  impl_->changed.wait(guard, [this] { return impl_->asked; });
}

void StopRequests::Release() {
  std::lock_guard guard(impl_->lock);
  impl_->asked = true;
  impl_->changed.notify_all();
}

bool OpenBrowser(const std::string& url) {
  const auto result = ShellExecuteW(nullptr, L"open", Wide(url).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  return reinterpret_cast<INT_PTR>(result) > 32;
}

std::optional<std::filesystem::path> MakePrivateFolder(const std::filesystem::path& base, const std::string& prefix) {
  const std::wstring descriptor = OwnerOnlyDescriptor();
  PSECURITY_DESCRIPTOR security = nullptr;
  if (descriptor.empty() ||
      !ConvertStringSecurityDescriptorToSecurityDescriptorW(descriptor.c_str(), SDDL_REVISION_1, &security, nullptr)) {
    return std::nullopt;
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, security, FALSE};
  std::random_device seed;
  std::mt19937_64 random(seed() ^ GetCurrentProcessId());
  const char* const letters = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::optional<std::filesystem::path> made;
  for (int attempt = 0; attempt < 100 && !made; ++attempt) {
    std::string name = prefix;
    for (int i = 0; i < 8; ++i) name.push_back(letters[random() % 36]);
    const auto path = base / name;
    if (CreateDirectoryW(path.wstring().c_str(), &attributes))
      made = path;
    else if (GetLastError() != ERROR_ALREADY_EXISTS)
      break;
  }
  LocalFree(security);
  return made;
}

std::uint64_t CurrentProcessId() {
  return GetCurrentProcessId();
}

bool ProcessRuns(std::uint64_t pid) {
  if (pid == 0 || pid > 0xFFFFFFFFu) return false;
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  // Denied: it runs, as someone else.
  if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
  const bool runs = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return runs;
}

bool OwnFolder(const std::filesystem::path& folder) {
  const DWORD attributes = GetFileAttributesW(folder.wstring().c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return false;
  }
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(folder.wstring().c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                            nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  bool own = false;
  HANDLE token = nullptr;
  if (owner != nullptr && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    // The user, or the owner the user's new objects get (an elevated administrator's folders
    // belong to the Administrators group).
    const auto matches = [&](TOKEN_INFORMATION_CLASS which) {
      DWORD size = 0;
      GetTokenInformation(token, which, nullptr, 0, &size);
      std::vector<unsigned char> buffer(size);
      if (size == 0 || !GetTokenInformation(token, which, buffer.data(), size, &size)) return false;
      const PSID sid = which == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid
                                          : reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner;
      return EqualSid(owner, sid) != FALSE;
    };
    own = matches(TokenUser) || matches(TokenOwner);
    CloseHandle(token);
  }
  LocalFree(descriptor);
  return own;
}

std::size_t DescriptorLimit() {
  // Sockets and files are handles without a per-process limit that a few thousand would reach.
  return 0;
}

}  // namespace velkin::studio
