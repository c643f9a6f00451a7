#include "test_host.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace velkin::test {
namespace {

struct State {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<Notification> received;
  std::function<void(const Notification&)> reaction;
  std::atomic<bool> initialising{false};
  std::atomic<bool> initialised{false};
  std::atomic<std::uint32_t> message{0};
};

State& TheState() {
  static auto* state = new State;  // notifications may still come while the process ends
  return *state;
}

}  // namespace

std::int32_t TestHost::Init(std::uint32_t message, bool with_target) {
  State& state = TheState();
  state.message = message;
  state.initialised = true;
  state.initialising = true;
  const std::int32_t result = PlatformInit(message, with_target);
  state.initialising = false;
  return result;
}

bool TestHost::Initialised() {
  return TheState().initialised;
}

std::uint32_t TestHost::ListenedMessage() {
  return TheState().message;
}

std::vector<Notification> TestHost::Received() {
  State& state = TheState();
  std::lock_guard guard(state.mutex);
  return state.received;
}

bool TestHost::WaitForCount(std::size_t count, std::chrono::milliseconds timeout) {
  State& state = TheState();
  std::unique_lock lock(state.mutex);
  return state.arrived.wait_for(lock, timeout, [&] { return state.received.size() >= count; });
}

void TestHost::SetReaction(std::function<void(const Notification&)> reaction) {
  State& state = TheState();
  std::lock_guard guard(state.mutex);
  state.reaction = std::move(reaction);
}

void TestHost::Record(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) {
  State& state = TheState();
  Notification notification{message, wparam, lparam, Clock::now(), state.initialising.load()};
  std::function<void(const Notification&)> reaction;
  {
    std::lock_guard guard(state.mutex);
    reaction = state.reaction;
  }
  // The reaction runs before the notification counts as received, so that a test waiting for
  // it also sees what the reaction did.
  if (reaction) reaction(notification);
  {
    std::lock_guard guard(state.mutex);
    state.received.push_back(notification);
  }
  state.arrived.notify_all();
}

}  // namespace velkin::test
