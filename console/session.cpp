#include "session.h"

#include <cstdio>
#include <cstdlib>

#include "connection.h"
#include "console/os/monitor.h"
#include "output.h"
#include "shell.h"

namespace velkin::console {

namespace {

// Exit status of a wrong argument count; a POSIX parent sees it modulo 256 (231).
constexpr int kUsageExitStatus = 999;

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
  KeepDeviceTexts(argv[1], argv[2]);

  std::printf("%s%s\n", kInfo, kWelcome);
  std::fflush(stdout);
  const DeviceTexts& texts = GetDeviceTexts();
  std::printf("%sUSB: %s %s\n", kInfo, texts.vendor, texts.product);
  std::fflush(stdout);

  OpenDeviceAtStart();
  StartDeviceMonitor();
  RunPromptLoop(stdin);
  EndSession();
}

}  // namespace velkin::console
