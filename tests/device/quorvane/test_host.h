// A stand-in for the host program that loads Quorvane: it calls QRVN_InitDllv the way a host of
// this platform does and records every notification it receives, with the time it came.
//
// On Windows the host is a window on a thread that runs a message loop, and QRVN_InitDllv is
// called on that thread; elsewhere the target is a callback function. Either way the library is
// driven only through its exports.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

namespace velkin::test {

using Clock = std::chrono::steady_clock;

struct Notification {
  std::uint32_t message = 0;
  std::uintptr_t wparam = 0;
  std::intptr_t lparam = 0;
  Clock::time_point at;
  bool during_init = false;  // delivered while QRVN_InitDllv was still running
};

class TestHost {
 public:
  // Calls QRVN_InitDllv on the host's thread with this host as the target (a null target when
  // `with_target` is false) and `message`; returns its result.
  static std::int32_t Init(std::uint32_t message, bool with_target = true);
  // Whether Init has run in this process: the library keeps its state until the process ends.
  static bool Initialised();

  static std::vector<Notification> Received();
  // Waits until at least `count` notifications have come; false on timeout.
  static bool WaitForCount(std::size_t count, std::chrono::milliseconds timeout);
  // Runs inside every later notification, on the thread that delivers it.
  static void SetReaction(std::function<void(const Notification&)> reaction);

  // For the platform part: records one notification addressed to the host.
  static void Record(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam);
  // For the platform part: the message number the host listens for.
  static std::uint32_t ListenedMessage();
};

// The platform part: calls QRVN_InitDllv as this platform's host program would.
std::int32_t PlatformInit(std::uint32_t message, bool with_target);

}  // namespace velkin::test
