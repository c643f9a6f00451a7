// The QRVN_ exports of the built Quorvane library on virtual devices, driven by a stand-in host
// program (test_host.h). Every command a virtual device receives is logged to its trace.log,
// which is how these tests see the bytes on the wire and the connection checks (INQUIRY).
//
// The library keeps its state from load to unload, so each test needs a process of its own;
// ctest runs every test in one. Timer tests assert "not before" strictly and "not much after"
// with room for a loaded machine.
#include <gtest/gtest.h>
#include <velkin/quorvane.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "test_host.h"
#include "tests/device/common/command_blocks.h"
#include "tests/support/scoped_env.h"
#include "tests/support/virtual_devices.h"

#ifdef _WIN32
#include <windows.h>
// dbt.h needs the types of windows.h.
#include <dbt.h>
#endif

namespace velkin::test {
namespace {

using std::chrono::milliseconds;

constexpr std::uint32_t kMessage = 0x8000 + 0x42;  // in the WM_APP range, as a host would pick
constexpr std::uint32_t kOtherMessage = 0x8000 + 0x43;

// Timers may fire a little early by the system's clock granularity; lateness is allowed
// generously because other builds load the machine.
constexpr milliseconds kEarly{25};
constexpr milliseconds kLate{2500};

const std::string kInquiry = "in 120000002400 36";

VirtualDeviceSetup Unrelated() {
  VirtualDeviceSetup setup;
  setup.vendor = "OTHERCO";
  setup.product = "USB STICK";
  setup.cdrom = false;
  return setup;
}

VirtualDeviceSetup Unplugged(VirtualDeviceSetup setup = {}) {
  setup.plugged = false;
  return setup;
}

class QuorvaneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (TestHost::Initialised()) GTEST_SKIP() << "needs a process of its own (ctest gives each test one)";
  }

  std::vector<std::string> NewTrace(const std::string& name = "unit") { return devices_.NewTrace(name); }

  static std::size_t Count(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
  }

  // Waits for the next notification after the `already` received ones; fails the test without.
  static Notification Next(std::size_t already, milliseconds timeout = milliseconds(5000)) {
    if (!TestHost::WaitForCount(already + 1, timeout)) {
      ADD_FAILURE() << "no notification " << already + 1 << " within " << timeout.count() << " ms";
      return {};
    }
    return TestHost::Received()[already];
  }

  // Waits for the next notification after the `already` received ones and checks that it carries
  // `wparam` and came `delay` after `since`: not before, and not much after.
  static Notification NextAfter(std::size_t already, std::uintptr_t wparam, Clock::time_point since,
                                milliseconds delay) {
    const Notification n = Next(already);
    EXPECT_EQ(n.wparam, wparam);
    EXPECT_EQ(n.message, kMessage);
    EXPECT_GE(n.at - since, delay - kEarly);
    EXPECT_LE(n.at - since, delay + kLate);
    return n;
  }

  // Waits until the library's status has become `status`.
  static bool StatusBecomes(std::int32_t status, milliseconds timeout = milliseconds(5000)) {
    const auto end = Clock::now() + timeout;
    while (QRVN_GetDeviceStatus() != status) {
      if (Clock::now() > end) return false;
      std::this_thread::sleep_for(milliseconds(10));
    }
    return true;
  }

  // Waits until the device's trace has received `line` (a connection check, for example).
  bool TraceReceives(const std::string& name, const std::string& line, milliseconds timeout = milliseconds(5000)) {
    const auto end = Clock::now() + timeout;
    std::vector<std::string> lines;
    while (Count(lines, line) == 0) {
      if (Clock::now() > end) return false;
      std::this_thread::sleep_for(milliseconds(10));
      const auto fresh = NewTrace(name);
      lines.insert(lines.end(), fresh.begin(), fresh.end());
    }
    return true;
  }

  static bool FlashIdentityWorks() {
    std::uint8_t m = 0, t = 0, c = 0;
    return QRVN_ReadSpiFlashInfo(&m, &t, &c) == 1 && m == 0x20 && t == 0x20 && c == 0x14;
  }

  VirtualDevices devices_;
};

// Every device export, with harmless arguments; true when all of them returned FALSE.
bool EveryDeviceExportIsFalse() {
  Bytes buffer(64, 0);
  buffer[1] = 0x20;
  std::uint8_t a = 0, b = 0, c = 0;
  const int32_t results[] = {
      QRVN_SingleEraseMemory(0, 8),
      QRVN_ReadMemory(0, buffer.data(), 16),
      QRVN_WriteMemory(0, buffer.data(), 16),
      QRVN_WriteData(buffer.data(), 64),
      QRVN_ReadData(buffer.data(), 64),
      QRVN_CommandData(0xE000, 1, buffer.data(), 64),
      QRVN_CommandData(0x1234, 1, buffer.data(), 0),
      QRVN_ReadSpiFlashInfo(&a, &b, &c),
      QRVN_WriteEEPROM_1(0, 1),
      QRVN_ReadEEPROM_1(0, &a),
      QRVN_WriteEEPROM_16(0, buffer.data()),
      QRVN_ReadEEPROM_16(0, buffer.data()),
      QRVN_BulkErase(),
      QRVN_IsBulkEraseEnd(),
      QRVN_SetIOPort(1),
  };
  return std::all_of(std::begin(results), std::end(results), [](int32_t r) { return r == 0; });
}

TEST_F(QuorvaneTest, NothingReachesTheDeviceBeforeInitDllv) {
  devices_.Create("unit");
  EXPECT_EQ(QRVN_GetDeviceStatus(), 0);
  EXPECT_TRUE(EveryDeviceExportIsFalse());
  EXPECT_TRUE(NewTrace().empty());
  // Not for want of a working device: once set up, the same unit answers.
  ASSERT_EQ(TestHost::Init(kMessage), 1);
  EXPECT_EQ(QRVN_GetDeviceStatus(), 1);
  EXPECT_TRUE(FlashIdentityWorks());
}

TEST_F(QuorvaneTest, InitDllvAnnouncesThePresentUnitBeforeItReturns) {
  devices_.Create("unit");
  ASSERT_EQ(TestHost::Init(kMessage), 1);
  const auto received = TestHost::Received();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].message, kMessage);
  EXPECT_EQ(received[0].wparam, 1u);
  EXPECT_EQ(received[0].lparam, 0);
  EXPECT_TRUE(received[0].during_init);
  EXPECT_EQ(QRVN_GetDeviceStatus(), 1);
  // Nothing more comes on its own.
  EXPECT_FALSE(TestHost::WaitForCount(2, milliseconds(1500)));
}

// A host may hand over no target, or message number 0: the library works, but sends nothing.
class QuorvaneSilentTargetTest : public QuorvaneTest, public ::testing::WithParamInterface<bool> {};

TEST_P(QuorvaneSilentTargetTest, NoNotificationButEverythingWorks) {
  const bool with_target = GetParam();
  devices_.Create("unit");
  ASSERT_EQ(TestHost::Init(with_target ? 0 : kMessage, with_target), 1);
  EXPECT_EQ(QRVN_GetDeviceStatus(), 1);
  EXPECT_TRUE(FlashIdentityWorks());

  devices_.Unplug("unit");
  EXPECT_TRUE(StatusBecomes(0));
  EXPECT_TRUE(EveryDeviceExportIsFalse());
  devices_.Plug("unit");
  EXPECT_TRUE(StatusBecomes(1));
  EXPECT_TRUE(FlashIdentityWorks());
  EXPECT_TRUE(TestHost::Received().empty());
}

INSTANTIATE_TEST_SUITE_P(NullTargetOrMessageZero, QuorvaneSilentTargetTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "MessageZero" : "NullTarget"; });

TEST_F(QuorvaneTest, ABurstOfArrivalsIsAnsweredOnceAThousandMillisecondsAfterTheLast) {
  devices_.Create("unit", Unplugged());
  devices_.Create("other1", Unplugged(Unrelated()));
  devices_.Create("other2", Unplugged(Unrelated()));
  ASSERT_EQ(TestHost::Init(kMessage), 1);
  ASSERT_EQ(QRVN_GetDeviceStatus(), 0);

  // The unit comes first: a timer that the later arrivals failed to restart would open it 1000 ms
  // after the first arrival, well before the deadline of the third.
  devices_.Plug("unit");
  std::this_thread::sleep_for(milliseconds(300));
  devices_.Plug("other1");
  std::this_thread::sleep_for(milliseconds(300));
  devices_.Plug("other2");
  const auto third = Clock::now();

  NextAfter(0, 1, third, milliseconds(1000));
  EXPECT_FALSE(TestHost::WaitForCount(2, milliseconds(1200)));
  EXPECT_EQ(QRVN_GetDeviceStatus(), 1);
  EXPECT_TRUE(FlashIdentityWorks());
}

TEST_F(QuorvaneTest, OnlyTheUnitLeavingReportsItGone) {
  devices_.Create("unit");
  devices_.Create("other", Unrelated());
  ASSERT_EQ(TestHost::Init(kMessage), 1);
  ASSERT_EQ(TestHost::Received().size(), 1u);
  NewTrace();

  // Another device leaves: the unit is checked, still answers, and nothing is sent.
  devices_.Unplug("other");
  EXPECT_TRUE(TraceReceives("unit", kInquiry));
  EXPECT_FALSE(TestHost::WaitForCount(2, milliseconds(700)));
  EXPECT_EQ(QRVN_GetDeviceStatus(), 1);

  devices_.Unplug("unit");
  const auto removed = Clock::now();
  EXPECT_EQ(NextAfter(1, 2, removed, milliseconds(500)).lparam, 0);
  EXPECT_EQ(QRVN_GetDeviceStatus(), 0);
  EXPECT_TRUE(EveryDeviceExportIsFalse());

  // Back in: opened and announced again.
  devices_.Plug("unit");
  const auto plugged = Clock::now();
  NextAfter(2, 1, plugged, milliseconds(1000));
  EXPECT_EQ(QRVN_GetDeviceStatus(), 1);
  EXPECT_TRUE(FlashIdentityWorks());
  EXPECT_FALSE(TestHost::WaitForCount(4, milliseconds(700)));
}

TEST_F(QuorvaneTest, ARemovalWithoutAConnectedUnitReportsGone) {
  devices_.Create("other", Unrelated());
  ASSERT_EQ(TestHost::Init(kMessage), 1);
  devices_.Unplug("other");
  const auto removed = Clock::now();
  NextAfter(0, 2, removed, milliseconds(500));
  EXPECT_EQ(QRVN_GetDeviceStatus(), 0);
}

TEST_F(QuorvaneTest, ExportsMayBeCalledFromInsideANotification) {
  devices_.Create("unit");
  int32_t status_inside = -1;
  int32_t identity_inside = -1;
  TestHost::SetReaction([&](const Notification& n) {
    if (n.wparam != 1) return;
    status_inside = QRVN_GetDeviceStatus();
    identity_inside = FlashIdentityWorks() ? 1 : 0;
  });
  ASSERT_EQ(TestHost::Init(kMessage), 1);
  ASSERT_EQ(TestHost::Received().size(), 1u);
  EXPECT_EQ(status_inside, 1);  // the status is set before the host hears of the device
  EXPECT_EQ(identity_inside, 1);
  TestHost::SetReaction(nullptr);
}

TEST_F(QuorvaneTest, ASecondInitDllvOnlyReplacesTheTarget) {
  devices_.Create("unit");
  ASSERT_EQ(TestHost::Init(kMessage), 1);
  ASSERT_EQ(TestHost::Received().size(), 1u);
  // The device is open already: no second announcement, and no second window or thread.
  ASSERT_EQ(TestHost::Init(kOtherMessage), 1);
  EXPECT_EQ(TestHost::Received().size(), 1u);
  devices_.Unplug("unit");
  const Notification gone = Next(1);
  EXPECT_EQ(gone.message, kOtherMessage);
  EXPECT_EQ(gone.wparam, 2u);
  EXPECT_FALSE(TestHost::WaitForCount(3, milliseconds(1000)));  // one notification, not one per set-up
}

// The raw command: code in bytes 0 and 1, "QM" in 14 and 15, the direction as given.
TEST_F(QuorvaneTest, CommandDataCarriesTheRawBlock) {
  devices_.Create("unit");
  ASSERT_EQ(TestHost::Init(kMessage), 1);
  NewTrace();
  Bytes buffer(64, 0xEE);
  EXPECT_EQ(QRVN_CommandData(0x1234, 1, buffer.data(), 0), 1);
  EXPECT_EQ(NewTrace(), (std::vector<std::string>{"none 1234000000000000000000000000514d 0"}));

  // The flash identity conversation by hand: a request block out, a reply block in. Only the low
  // 16 bits of the code and of the count are used.
  Bytes request(64, 0);
  request[1] = 0x20;
  EXPECT_EQ(QRVN_CommandData(0xABCDE000, 7, request.data(), 0x10040), 1);
  EXPECT_EQ(QRVN_CommandData(0xD000, 0, buffer.data(), 64), 1);
  EXPECT_EQ(buffer[1], 0x20);
  EXPECT_EQ(Bytes(buffer.begin() + 13, buffer.begin() + 16), (Bytes{0x20, 0x20, 0x14}));
  EXPECT_EQ(NewTrace(), (std::vector<std::string>{"out " + kDataOutCdb + " 64 " + HexBytes(request), kReplyIn}));

  // A command the device refuses is FALSE.
  EXPECT_EQ(QRVN_CommandData(0xAB00, 1, nullptr, 0), 0);
}

TEST_F(QuorvaneTest, BulkEraseIsPolledUntilTheDeviceReportsTheEnd) {
  VirtualDeviceSetup setup;
  setup.settings = {{"bulk_erase_polls", "3"}};
  devices_.Create("unit", setup);
  ASSERT_EQ(TestHost::Init(kMessage), 1);
  const Bytes pattern{0x12, 0x34, 0x56, 0x78};
  ASSERT_EQ(QRVN_WriteMemory(0x1000, pattern.data(), 4), 1);
  ASSERT_EQ(devices_.Flash("unit")[0x1000], 0x12);
  NewTrace();

  EXPECT_EQ(QRVN_BulkErase(), 1);
  EXPECT_EQ(NewTrace(), (std::vector<std::string>{RequestOut({0, 0x21}), kReplyIn}));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(QRVN_IsBulkEraseEnd(), 0) << "poll " << i;
  EXPECT_EQ(QRVN_IsBulkEraseEnd(), 1);
  const auto polls = NewTrace();
  ASSERT_EQ(polls.size(), 8u);  // no busy polling inside: one request and one reply per call
  EXPECT_EQ(polls[0], RequestOut({0, 0x22}));
  EXPECT_EQ(polls[1], kReplyIn);

  const Bytes flash = devices_.Flash("unit");
  EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](std::uint8_t b) { return b == 0xFF; }));
}

TEST_F(QuorvaneTest, ABulkEraseRequestTheDeviceRefusesIsFalseWithoutAReply) {
  VirtualDeviceSetup setup;
  setup.settings = {{"check", "data_out"}};
  devices_.Create("unit", setup);
  ASSERT_EQ(TestHost::Init(kMessage), 1);
  NewTrace();
  EXPECT_EQ(QRVN_BulkErase(), 0);
  EXPECT_EQ(QRVN_IsBulkEraseEnd(), 0);
  EXPECT_EQ(NewTrace(), (std::vector<std::string>{RequestOut({0, 0x21}), RequestOut({0, 0x22})}));
}

// The raw command without a buffer (the other exports: the shared table's MissingBuffers case).
TEST_F(QuorvaneTest, CommandDataWithoutABufferMovesNoBytes) {
  devices_.Create("unit");
  ASSERT_EQ(TestHost::Init(kMessage), 1);
  NewTrace();
  EXPECT_EQ(QRVN_CommandData(0xD000, 0, nullptr, 64), 0);
  EXPECT_TRUE(NewTrace().empty());
  // Without bytes to move no buffer is needed.
  EXPECT_EQ(QRVN_CommandData(0x1234, 1, nullptr, 0x10000), 1);
  EXPECT_EQ(NewTrace().size(), 1u);
}

#ifdef _WIN32
// The library's hidden window in this process (other test processes have theirs).
HWND LibraryWindow() {
  HWND window = nullptr;
  while ((window = FindWindowExA(nullptr, window, "QM101DeviceClass", nullptr)) != nullptr) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId()) return window;
  }
  return nullptr;
}

// The system sends (not posts) its device-change broadcasts: an arrival or removal code carries a
// pointer to the broadcast record, which PostMessage refuses. Sent from this thread they reach
// the window on the host's thread by the same path. Returns whether the message was delivered.
bool SendDeviceChange(HWND window, WPARAM event, DWORD device_type) {
  DEV_BROADCAST_DEVICEINTERFACE_A record{};
  record.dbcc_size = sizeof record;
  record.dbcc_devicetype = device_type;
  DWORD_PTR result = 0;
  return SendMessageTimeoutA(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&record), SMTO_NORMAL, 10000,
                             &result) != 0;
}

TEST_F(QuorvaneTest, SystemDeviceChangesStartTheTimers) {
  {
    // Set up without virtual devices, so that their folder watch is not running: from here on
    // only the messages sent below can tell the library of changes.
    ScopedEnv without(std::string("VELKIN_EMULATOR"), "");
    ASSERT_EQ(TestHost::Init(kMessage), 1);
  }
  ASSERT_EQ(QRVN_GetDeviceStatus(), 0);
  const HWND window = LibraryWindow();
  ASSERT_NE(window, nullptr);
  devices_.Create("unit");

  // Only device-interface broadcasts count: another device type, or none, starts no timer.
  ASSERT_TRUE(SendDeviceChange(window, DBT_DEVICEARRIVAL, DBT_DEVTYP_VOLUME));
  DWORD_PTR result = 0;
  ASSERT_NE(SendMessageTimeoutA(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0, SMTO_NORMAL, 10000, &result), 0);
  EXPECT_FALSE(TestHost::WaitForCount(1, milliseconds(1500)));
  EXPECT_EQ(QRVN_GetDeviceStatus(), 0);

  ASSERT_TRUE(SendDeviceChange(window, DBT_DEVICEARRIVAL, DBT_DEVTYP_DEVICEINTERFACE));
  const auto arrived = Clock::now();
  NextAfter(0, 1, arrived, milliseconds(1000));
  EXPECT_EQ(QRVN_GetDeviceStatus(), 1);
  EXPECT_TRUE(FlashIdentityWorks());

  devices_.Unplug("unit");
  ASSERT_TRUE(SendDeviceChange(window, DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_DEVICEINTERFACE));
  const auto removed = Clock::now();
  NextAfter(1, 2, removed, milliseconds(500));
  EXPECT_EQ(QRVN_GetDeviceStatus(), 0);
}
#endif

}  // namespace

}  // namespace velkin::test
