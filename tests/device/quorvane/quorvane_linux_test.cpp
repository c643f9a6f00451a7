// The QRVN_ exports of the built Quorvane library on the Linux backend under umockdev: the unit
// is found through libudev, driven through SG_IO on its sg node (the handler lets the firmware
// model answer and shows what reached the "kernel"), and its arrivals and removals come as the
// test bed's uevents through the udev monitor.
#include <gtest/gtest.h>
#include <scsi/sg.h>
#include <velkin/quorvane.h>

#include <chrono>
#include <string>
#include <thread>

#include "test_host.h"
#include "tests/device/linux/bed_fixture.h"

namespace velkin::test::linux_bed {
namespace {

using std::chrono::milliseconds;

constexpr std::uint32_t kMessage = 0x8000 + 0x42;
constexpr milliseconds kEarly{25};
constexpr milliseconds kLate{2500};

class QuorvaneBedTest : public UnitBedTest {
 protected:
  void SetUp() override {
    if (TestHost::Initialised()) GTEST_SKIP() << "needs a process of its own (ctest gives each test one)";
    UnitBedTest::SetUp();
  }

  void PlugUnit() { PlugUnitAt(root_, "1-3"); }

  static bool FlashIdentityWorks() {
    std::uint8_t m = 0, t = 0, c = 0;
    return QRVN_ReadSpiFlashInfo(&m, &t, &c) == 1 && m == 0xEF && t == 0x40 && c == 0x16;
  }

  // Waits until the unit has been asked whether it still answers (a data-in standard command).
  bool UnitIsChecked(milliseconds timeout = milliseconds(5000)) {
    const auto end = Clock::now() + timeout;
    while (Clock::now() < end) {
      for (const auto& call : handler_.TakeCalls()) {
        if (!call.cdb.empty() && call.cdb[0] == 0x12) return true;
      }
      std::this_thread::sleep_for(milliseconds(10));
    }
    return false;
  }
};

TEST_F(QuorvaneBedTest, ArrivalsAndRemovalsOfTheUnitReachTheHost) {
  PlugUnit();
  ASSERT_EQ(TestHost::Init(kMessage), 1);
  auto received = TestHost::Received();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].wparam, 1u);
  EXPECT_TRUE(received[0].during_init);
  EXPECT_EQ(QRVN_GetDeviceStatus(), 1);
  EXPECT_TRUE(FlashIdentityWorks());
  handler_.TakeCalls();

  // The unrelated disk leaves: the unit is checked, answers, and the host hears nothing.
  handler_.Pull(PulledAnswer::kNone);
  bed().Unplug(other_);
  EXPECT_TRUE(UnitIsChecked());
  EXPECT_FALSE(TestHost::WaitForCount(2, milliseconds(700)));
  EXPECT_EQ(QRVN_GetDeviceStatus(), 1);

  // The unit leaves. Its uevents go out one by one while Unplug runs; the first counts.
  handler_.Pull(PulledAnswer::kNoDevice);
  const auto removed = Clock::now();
  bed().Unplug(unit_);
  ASSERT_TRUE(TestHost::WaitForCount(2, milliseconds(5000)));
  received = TestHost::Received();
  EXPECT_EQ(received[1].wparam, 2u);
  EXPECT_GE(received[1].at - removed, milliseconds(500) - kEarly);
  EXPECT_LE(received[1].at - removed, milliseconds(500) + kLate);
  EXPECT_EQ(QRVN_GetDeviceStatus(), 0);
  handler_.TakeCalls();
  EXPECT_EQ(QRVN_SetIOPort(1), 0);
  EXPECT_TRUE(handler_.TakeCalls().empty());

  // Back in, at a new SCSI address: opened through a fresh descriptor and announced.
  handler_.Pull(PulledAnswer::kNone);
  const auto plugged = Clock::now();
  PlugUnit();
  ASSERT_TRUE(TestHost::WaitForCount(3, milliseconds(5000)));
  received = TestHost::Received();
  EXPECT_EQ(received[2].wparam, 1u);
  EXPECT_GE(received[2].at - plugged, milliseconds(1000) - kEarly);
  EXPECT_LE(received[2].at - plugged, milliseconds(1000) + kLate);
  EXPECT_EQ(QRVN_GetDeviceStatus(), 1);
  EXPECT_TRUE(FlashIdentityWorks());
  EXPECT_TRUE(other_handler_.TakeCalls().empty());
}

TEST_F(QuorvaneBedTest, RawCommandAndBulkEraseTravelThroughSgIo) {
  PlugUnit();
  ASSERT_EQ(TestHost::Init(kMessage), 1);
  handler_.FillFlash(0x1000, Bytes{1, 2, 3, 4});
  handler_.TakeCalls();

  Bytes buffer(64, 0);
  EXPECT_EQ(QRVN_CommandData(0x1234, 1, buffer.data(), 0), 1);
  auto calls = handler_.TakeCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].cdb, Cdb({0x12, 0x34}));
  EXPECT_EQ(calls[0].direction, SG_DXFER_NONE);
  EXPECT_EQ(calls[0].dxfer_len, 0u);

  ASSERT_EQ(QRVN_BulkErase(), 1);
  int polls = 0;
  while (QRVN_IsBulkEraseEnd() == 0 && polls < 100) ++polls;
  EXPECT_EQ(polls, 3);  // the firmware model's default: three "not yet" answers
  EXPECT_EQ(handler_.Flash(0x1000, 4), Bytes(4, 0xFF));
  calls = handler_.TakeCalls();
  ASSERT_EQ(calls.size(), 10u);
  EXPECT_EQ(calls[0].data_out, Request({{1, 0x21}}));
  EXPECT_EQ(calls[1].direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(calls[2].data_out, Request({{1, 0x22}}));
  EXPECT_TRUE(other_handler_.TakeCalls().empty());
}

// A device of one of the classes the Windows library registers for, as a bed record: instance
// `n` of it, with no unit behind it.
struct DeviceClass {
  const char* name;
  std::string (*path)(int n);
  std::string (*record)(int n);
};

const DeviceClass kClasses[] = {
    {"UsbDevice", [](int n) { return "/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(4 + n); },
     [](int n) {
       return "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=046d\\n\nA: idProduct=c077\\n\nA: busnum=1\\n\n"
              "A: devnum=" +
              std::to_string(20 + n) + "\\n\nA: devpath=" + std::to_string(4 + n) + "\\n\n";
     }},
    {"BlockDisk", [](int n) { return "/devices/virtual/block/loop" + std::to_string(n); },
     [](int n) {
       return "N: loop" + std::to_string(n) + "=00\nE: SUBSYSTEM=block\nE: DEVTYPE=disk\nE: DEVNAME=/dev/loop" +
              std::to_string(n) + "\nA: dev=7:" + std::to_string(n) + "\n";
     }},
    {"Hidraw", [](int n) { return "/devices/virtual/hidraw/hidraw" + std::to_string(n); },
     [](int n) {
       return "N: hidraw" + std::to_string(n) + "=00\nE: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/hidraw" + std::to_string(n) +
              "\nA: dev=243:" + std::to_string(n) + "\n";
     }},
    {"Net", [](int n) { return "/devices/virtual/net/vlk" + std::to_string(n); },
     [](int n) {
       return "E: SUBSYSTEM=net\nE: INTERFACE=vlk" + std::to_string(n) + "\nA: ifindex=" + std::to_string(7 + n) + "\n";
     }},
};

void PrintTo(const DeviceClass& device_class, std::ostream* out) {
  *out << device_class.name;
}

class QuorvaneClassTest : public QuorvaneBedTest, public ::testing::WithParamInterface<DeviceClass> {
 protected:
  void Add(int n) {
    const std::string record = "P: " + GetParam().path(n) + "\n" + GetParam().record(n);
    GError* error = nullptr;
    ASSERT_TRUE(umockdev_testbed_add_from_string(bed().get(), record.c_str(), &error))
        << (error != nullptr ? error->message : "?") << "\n"
        << record;
  }
  void Remove(int n) {
    const std::string path = "/sys" + GetParam().path(n);
    umockdev_testbed_uevent(bed().get(), path.c_str(), "remove");
    umockdev_testbed_remove_device(bed().get(), path.c_str());
  }
  // Time from now until the unit is asked whether it still answers.
  template <typename Change>
  milliseconds TimeToCheck(Change change) {
    handler_.TakeCalls();
    const auto start = Clock::now();
    change();
    if (!UnitIsChecked()) return milliseconds::max();
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
  }
};

// Each class's arrival starts the 1000 ms timer and its removal the 500 ms one; a removal that
// finds the unit gone is reported with notification 2 after 500 ms.
TEST_P(QuorvaneClassTest, ArrivalsAndRemovalsOfTheClassRunTheTimers) {
  Add(0);
  PlugUnit();
  ASSERT_EQ(TestHost::Init(kMessage), 1);
  ASSERT_EQ(TestHost::Received().size(), 1u);

  const milliseconds arrival = TimeToCheck([&] { Add(1); });
  EXPECT_GE(arrival, milliseconds(1000) - kEarly);
  EXPECT_LE(arrival, milliseconds(1000) + kLate);
  const milliseconds removal = TimeToCheck([&] { Remove(1); });
  EXPECT_GE(removal, milliseconds(500) - kEarly);
  EXPECT_LE(removal, milliseconds(500) + kLate);
  EXPECT_EQ(TestHost::Received().size(), 1u) << "the unit still answers: nothing to tell";

  handler_.Pull(PulledAnswer::kNoDevice);
  const auto removed = Clock::now();
  Remove(0);
  ASSERT_TRUE(TestHost::WaitForCount(2, milliseconds(5000)));
  const auto received = TestHost::Received();
  EXPECT_EQ(received[1].wparam, 2u);
  EXPECT_GE(received[1].at - removed, milliseconds(500) - kEarly);
  EXPECT_LE(received[1].at - removed, milliseconds(500) + kLate);
  EXPECT_EQ(QRVN_GetDeviceStatus(), 0);
}

INSTANTIATE_TEST_SUITE_P(WindowsRegistrations, QuorvaneClassTest, ::testing::ValuesIn(kClasses),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velkin::test::linux_bed
