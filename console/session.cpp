#include "session.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "connection.h"
#include "os/monitor.h"
#include "output.h"
#include "shell.h"

namespace velkin::console {

namespace {

// Exit status of a wrong argument count; a POSIX parent sees it modulo 256 (231).
constexpr int kUsageExitStatus = 999;

char g_vendor[kTextBufferSize];
char g_product[kTextBufferSize];

void CopyText(char* buffer, const char* text) {
  std::memset(buffer, 0, kTextBufferSize);
  std::strncpy(buffer, text, kTextBufferSize - 1);
}

}  // namespace

void EndSession() {
  QuitCommand("");
}

int RunConsole(int argc, char** argv) {
  if (argc != 3) {
    std::printf("%s%s\n", kFailure, "<vid> <pid>");
    std::fflush(stdout);
    std::exit(kUsageExitStatus);
  }
  CopyText(g_vendor, argv[1]);
  CopyText(g_product, argv[2]);

  std::printf("%s%s\n", kInfo, kWelcome);
  std::fflush(stdout);
  std::printf("%sUSB: %s %s\n", kInfo, g_vendor, g_product);
  std::fflush(stdout);

  OpenDeviceAtStart(g_vendor, g_product);
  StartDeviceMonitor();
  RunPromptLoop(stdin);
  EndSession();
}

}  // namespace velkin::console
