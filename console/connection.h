// The device connection: opening at start, arrival and removal, STATUS and QUIT.
#pragma once

#include <atomic>
#include <cstddef>

namespace velkin::console {

inline constexpr std::size_t kTextBufferSize = 4096;

// The vendor and product texts the console was started with, the only copies: the start-up
// lines print them and every open of the device passes them.
struct DeviceTexts {
  char vendor[kTextBufferSize];
  char product[kTextBufferSize];
};

// Copies the two texts (at most 4095 characters each). Called once at start, before the monitor
// thread exists; afterwards the texts are only read.
void KeepDeviceTexts(const char* vendor, const char* product);
const DeviceTexts& GetDeviceTexts();

// Non-zero while the device is open. Shared by the shell and the monitor thread.
extern std::atomic<int> g_device_open;

// Opens the device with the kept texts and announces it if it opened.
void OpenDeviceAtStart();

// Reactions to the system's device-change events, called on the monitor thread.
void OnDeviceArrival();
void OnDeviceRemovalComplete();

void StatusCommand(const char* line);
[[noreturn]] void QuitCommand(const char* line);

}  // namespace velkin::console
