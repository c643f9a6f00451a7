// The virtual devices' hot-plug source: folders that appear and disappear.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "device/qmlib/device_agent.h"
#include "device/qmlib/os/hotplug.h"
#include "tests/support/virtual_devices.h"

namespace velkin::qm::os {
namespace {

using namespace std::chrono_literals;

class Events {
 public:
  void Add(const HotplugEvent& event) {
    std::lock_guard guard(lock_);
    events_.push_back((event.kind == HotplugKind::kArrival ? "+" : "-") + event.device);
    changed_.notify_all();
  }
  // Waits until `count` events arrived (or a time-out) and returns them.
  std::vector<std::string> Wait(std::size_t count, std::chrono::milliseconds timeout = 5000ms) {
    std::unique_lock lock(lock_);
    changed_.wait_for(lock, timeout, [&] { return events_.size() >= count; });
    return events_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
};

TEST(EmulatedHotplug, ArrivalsAndRemovalsOfDeviceFolders) {
  test::VirtualDevices devices;
  devices.Create("present");
  Events events;
  auto source = StartHotplugSource([&](const HotplugEvent& e) { events.Add(e); });
  ASSERT_NE(source, nullptr);
  std::this_thread::sleep_for(150ms);
  EXPECT_TRUE(events.Wait(0).empty());  // what is there at the start is no arrival

  devices.Create("new");
  EXPECT_EQ(events.Wait(1), std::vector<std::string>{"+new"});
  devices.Unplug("present");
  EXPECT_EQ(events.Wait(2), (std::vector<std::string>{"+new", "-present"}));
  devices.Plug("present");
  EXPECT_EQ(events.Wait(3), (std::vector<std::string>{"+new", "-present", "+present"}));
  std::filesystem::remove_all(devices.root() / "new");
  EXPECT_EQ(events.Wait(4), (std::vector<std::string>{"+new", "-present", "+present", "-new"}));
  // A folder without device.conf is not a device; hidden folders neither.
  std::filesystem::create_directories(devices.root() / "empty");
  std::filesystem::create_directories(devices.root() / ".hidden");
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(events.Wait(4).size(), 4u);
  source.reset();  // stops and joins
}

TEST(EmulatedHotplug, SourceStopsPromptly) {
  test::VirtualDevices devices;
  const auto start = std::chrono::steady_clock::now();
  {
    auto source = StartEmulatedHotplugSource(devices.root().string(), [](const HotplugEvent&) {});
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

// The agent's registration with a callback watches the folder of its time, and unregistering
// stops that watch even when VELKIN_EMULATOR names another folder by then.
TEST(EmulatedHotplug, TheAgentsRegistrationOwnsTheWatchItStarted) {
  test::VirtualDevices devices;
  Events events;
  C_QMMassStorageDeviceAgent agent;
  EXPECT_EQ(agent.RegisterNotifications(HotplugCallback([&](const HotplugEvent& e) { events.Add(e); })), 1);
  devices.Create("a");
  EXPECT_EQ(events.Wait(1), std::vector<std::string>{"+a"});
  {
    test::VirtualDevices elsewhere;
    EXPECT_EQ(agent.UnregisterNotifications(), 1);
  }
  devices.Create("b");
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(events.Wait(2, 0ms), std::vector<std::string>{"+a"}) << "the watch still runs";
}

}  // namespace
}  // namespace velkin::qm::os
