// The device monitor: a thread that turns the system's device arrival and removal events into
// the console's reactions (OnDeviceArrival, OnDeviceRemovalComplete).
#pragma once

namespace velkin::console {

// Starts the monitor thread.
void StartDeviceMonitor();

// Stops acting on device events: waits for a reaction that is under way to finish, and none
// follows. Called by the shell at QUIT, so that the process never ends (and the libraries are
// never torn down) under a reaction that is calling them. Not to be called on the monitor thread.
void StopDeviceMonitor();

}  // namespace velkin::console
