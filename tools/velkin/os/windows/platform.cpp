#include <io.h>
#include <windows.h>

#include <atomic>

#include "tools/velkin/os/platform.h"

namespace velkin::cli::os {
namespace {

std::atomic<bool> g_interrupted{false};

BOOL WINAPI OnControl(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      g_interrupted.store(true);
      return TRUE;
    default:
      return FALSE;
  }
}

HANDLE HandleOf(std::FILE* stream) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

std::string ErrorText(DWORD code) {
  char text[256] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                 sizeof text, nullptr);
  std::string out(text, n);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) out.pop_back();
  return out.empty() ? "error " + std::to_string(code) : out;
}

}  // namespace

void CatchInterrupts() {
  SetConsoleCtrlHandler(OnControl, TRUE);
}

bool Interrupted() {
  return g_interrupted.load();
}

bool IsTerminal(std::FILE* stream) {
  DWORD mode = 0;
  return GetConsoleMode(HandleOf(stream), &mode) != 0;
}

bool PrepareTerminal(std::FILE* stream) {
  DWORD mode = 0;
  const HANDLE handle = HandleOf(stream);
  if (GetConsoleMode(handle, &mode) == 0) return false;
  // ENABLE_VIRTUAL_TERMINAL_PROCESSING: the console then takes the cursor movements.
  return SetConsoleMode(handle, mode | 0x0004) != 0;
}

int TerminalColumns(std::FILE* stream) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(HandleOf(stream), &info) == 0) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

bool AppendDurably(const std::string& path, const std::string& text, std::string* error) {
  const HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = ErrorText(GetLastError());
    return false;
  }
  DWORD written = 0;
  bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != 0 &&
            written == text.size() && FlushFileBuffers(file) != 0;
  if (!ok) *error = ErrorText(GetLastError());
  CloseHandle(file);
  return ok;
}

}  // namespace velkin::cli::os
