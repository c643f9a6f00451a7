#include "connection.h"

#include <velkin/farlink.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/os/monitor.h"
#include "device_commands.h"
#include "output.h"

namespace velkin::console {

// Written by the monitor thread and read by the shell: atomic, so that neither sees a torn or
// stale value.
std::atomic<int> g_device_open{0};

namespace {

DeviceTexts g_texts;

void CopyText(char* buffer, const char* text) {
  std::memset(buffer, 0, kTextBufferSize);
  std::strncpy(buffer, text, kTextBufferSize - 1);
}

int OpenDevice() {
  return FLNK_OpenDevice(g_texts.vendor, g_texts.product);
}

void AnnounceConnection() {
  std::printf("%sUSB:SetIOPort TRUE return %d\n", kInfo, FLNK_SetIOPort(1));
  g_device_open = 1;
  std::printf("%sUSB:CONNECT\n", kInfo);
  FlashIdCommand("");
  ReadEepromCommand("");
  std::fflush(stdout);
}

}  // namespace

void KeepDeviceTexts(const char* vendor, const char* product) {
  CopyText(g_texts.vendor, vendor);
  CopyText(g_texts.product, product);
}

const DeviceTexts& GetDeviceTexts() {
  return g_texts;
}

void OpenDeviceAtStart() {
  const int opened = OpenDevice();
  g_device_open = opened;
  if (opened == 0) return;
  AnnounceConnection();
}

void OnDeviceArrival() {
  if (g_device_open != 0 || OpenDevice() != 0) AnnounceConnection();
}

void OnDeviceRemovalComplete() {
  if (g_device_open != 0 && FLNK_IsDeviceConnect() == 0) {
    g_device_open = 0;
    std::printf("%sUSB:DISCONNECT\n", kInfo);
    std::fflush(stdout);
  }
}

void StatusCommand(const char* /*line*/) {
  const int r = g_device_open != 0 ? FLNK_IsDeviceConnect() : 0;
  std::printf("%sSTATUS: return %d\n", r != 0 ? kSuccess : kFailure, r);
}

void QuitCommand(const char* /*line*/) {
  // The monitor stops first: the I/O port release is then the last device call, and the
  // libraries' teardown at exit never runs under an arrival that is still calling them.
  StopDeviceMonitor();
  std::printf("%sUSB:SetIOPort FALSE return %d\n", kInfo, FLNK_SetIOPort(0));
  std::fflush(stdout);
  std::exit(0);
}

}  // namespace velkin::console
