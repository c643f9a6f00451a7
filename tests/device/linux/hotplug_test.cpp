// Hot-plug on Linux: the udev monitor's thread turns the uevents of sg nodes into arrivals and
// removals, and the agent's registration hands them to its recipient.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "bed_fixture.h"
#include "device/qmlib/device_agent.h"
#include "device/qmlib/os/hotplug.h"
#include "tests/support/scoped_env.h"

namespace velkin::test::linux_bed {
namespace {

using qm::os::HotplugEvent;
using qm::os::HotplugKind;
using namespace std::chrono_literals;

struct Seen {
  HotplugKind kind;
  std::string device;
  friend bool operator==(const Seen&, const Seen&) = default;
};

std::ostream& operator<<(std::ostream& out, const Seen& seen) {
  return out << (seen.kind == HotplugKind::kArrival ? "arrival " : "removal ") << seen.device;
}

// Collects the events of one callback; the callback runs on the source's thread.
class Recorder {
 public:
  qm::os::HotplugCallback Callback() {
    return [this](const HotplugEvent& event) {
      std::lock_guard guard(mutex_);
      events_.push_back({event.kind, event.device});
      changed_.notify_all();
    };
  }
  // Waits until `count` events have come (or a few seconds have passed) and returns them all.
  std::vector<Seen> WaitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 5s, [&] { return events_.size() >= count; });
    return events_;
  }
  std::vector<Seen> Now() {
    std::lock_guard guard(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Seen> events_;
};

class HotplugTest : public BedTest {
 protected:
  void SetUp() override {
    BedTest::SetUp();
    if (HasFatalFailure()) return;
    root_ = bed().AddRootHub(1);
  }

  // Late events would show up here: uevents of the other devices of a unit (USB device,
  // interface, SCSI host, target, device) come before and after the sg node's.
  static void Settle() { std::this_thread::sleep_for(100ms); }

  std::string root_;
};

TEST_F(HotplugTest, PlugUnplugAndPlugAgainReachTheCallbackAsArrivalRemovalArrival) {
  Recorder recorder;
  {
    auto source = qm::os::StartPlatformHotplugSource(recorder.Callback());
    ASSERT_NE(source, nullptr);
    const Unit first = bed().PlugUsbUnit(root_, "1-3", {}, {}, 0);
    EXPECT_EQ(recorder.WaitFor(1), (std::vector<Seen>{{HotplugKind::kArrival, "/dev/sg0"}}));
    bed().Unplug(first);
    recorder.WaitFor(2);
    bed().PlugUsbUnit(root_, "1-3", {}, {}, 0);
    recorder.WaitFor(3);
    Settle();
  }
  EXPECT_EQ(recorder.Now(), (std::vector<Seen>{{HotplugKind::kArrival, "/dev/sg0"},
                                               {HotplugKind::kRemoval, "/dev/sg0"},
                                               {HotplugKind::kArrival, "/dev/sg0"}}));
}

TEST_F(HotplugTest, WithoutVirtualDevicesTheSourceIsTheUdevMonitor) {
  Recorder recorder;
  auto source = qm::os::StartHotplugSource(recorder.Callback());
  ASSERT_NE(source, nullptr);
  const Unit unit = bed().PlugPciScsiUnit({"ACME    ", "SCSI DISK       ", "0004", 0}, 4);
  EXPECT_EQ(recorder.WaitFor(1), (std::vector<Seen>{{HotplugKind::kArrival, "/dev/sg4"}}));
  source.reset();  // stops and joins before the bed goes
}

TEST_F(HotplugTest, NoEventReachesTheCallbackOnceTheSourceIsGone) {
  Recorder recorder;
  auto source = qm::os::StartPlatformHotplugSource(recorder.Callback());
  ASSERT_NE(source, nullptr);
  source.reset();
  bed().PlugUsbUnit(root_, "1-3", {}, {}, 0);
  Settle();
  EXPECT_TRUE(recorder.Now().empty());
}

// The agent's registration on Linux: the recipient is a hot-plug callback, and registering
// again replaces the earlier registration.
TEST_F(HotplugTest, TheAgentDeliversToTheRecipientOfTheLastRegistrationOnly) {
  Recorder first;
  Recorder second;
  {
    qm::C_QMMassStorageDeviceAgent agent;
    EXPECT_EQ(agent.RegisterNotifications(first.Callback()), 1);
    EXPECT_EQ(agent.RegisterNotifications(second.Callback()), 1);
    const Unit unit = bed().PlugUsbUnit(root_, "1-3", {}, {}, 0);
    EXPECT_EQ(second.WaitFor(1), (std::vector<Seen>{{HotplugKind::kArrival, "/dev/sg0"}}));

    EXPECT_EQ(agent.UnregisterNotifications(), 1);
    bed().Unplug(unit);
    Settle();
  }
  EXPECT_TRUE(first.Now().empty());
  EXPECT_EQ(second.Now().size(), 1u) << "nothing after unregistering";
}

// A registration is given up through itself: pointing VELKIN_EMULATOR at virtual devices between
// registering and unregistering must still stop the udev monitor.
TEST_F(HotplugTest, UnregisteringStopsTheMonitorAlsoAfterTheEmulatorWasSelected) {
  Recorder recorder;
  qm::C_QMMassStorageDeviceAgent agent;
  EXPECT_EQ(agent.RegisterNotifications(recorder.Callback()), 1);
  {
    ScopedEnv emulated(qm::os::kEmulatorVariable, ::testing::TempDir());
    EXPECT_EQ(agent.UnregisterNotifications(), 1);
  }
  bed().PlugUsbUnit(root_, "1-3", {}, {}, 0);
  Settle();
  EXPECT_TRUE(recorder.Now().empty()) << "the monitor thread still delivers";
}

}  // namespace
}  // namespace velkin::test::linux_bed
