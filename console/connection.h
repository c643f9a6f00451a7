// The device connection: opening at start, arrival and removal, STATUS and QUIT.
#pragma once

#include <atomic>

namespace velkin::console {

// Non-zero while the device is open. Shared by the shell and the monitor thread.
extern std::atomic<int> g_device_open;

// Stores the two texts for every later open, opens the device and announces it if it opened.
void OpenDeviceAtStart(const char* vendor, const char* product);

// Reactions to the system's device-change events, called on the monitor thread.
void OnDeviceArrival();
void OnDeviceRemovalComplete();

void StatusCommand(const char* line);
[[noreturn]] void QuitCommand(const char* line);

}  // namespace velkin::console
