// The device monitor: a thread that turns the system's device arrival and removal events into
// the console's reactions (OnDeviceArrival, OnDeviceRemovalComplete).
#pragma once

namespace velkin::console {

// Starts the monitor thread; the thread lives until the process ends.
void StartDeviceMonitor();

}  // namespace velkin::console
