// The FLNK_ exports of the built Farlink library on the Linux backend: the library finds the
// unit through libudev, opens its sg node and talks SG_IO; the handler on the mocked node lets
// the firmware model answer and shows the bytes that reached the "kernel".
#include <gtest/gtest.h>
#include <scsi/sg.h>
#include <velkin/farlink.h>

#include "bed_fixture.h"

namespace velkin::test::linux_bed {
namespace {

constexpr const char* kVendor = "QUAMIRA";
constexpr const char* kProduct = "VOXA CDROM";

class FarlinkLinuxTest : public UnitBedTest {
 protected:
  void SetUp() override {
    UnitBedTest::SetUp();
    if (HasFatalFailure()) return;
    hub_ = bed().AddHub(root_, "1-2", 2);
    PlugUnit();
  }

  void TearDown() override {
    FLNK_CloseDevice();  // closes the sg node before the bed goes
    UnitBedTest::TearDown();
  }

  void PlugUnit() { PlugUnitAt(hub_, "1-2.3"); }

  void Open() { ASSERT_EQ(FLNK_OpenDevice(kVendor, kProduct), 1); }

  std::string hub_;
};

// The command blocks and replies themselves are the shared table's (command_blocks_test.cpp),
// which runs on this bed too; here what only the bed shows.
TEST_F(FarlinkLinuxTest, IoPortRequestsTakeAndReleaseThePort) {
  Open();
  ASSERT_EQ(FLNK_SetIOPort(1), 1);
  EXPECT_TRUE(handler_.IoPortTaken());
  ASSERT_EQ(FLNK_SetIOPort(0), 1);
  EXPECT_FALSE(handler_.IoPortTaken());
  EXPECT_TRUE(other_handler_.TakeCalls().empty());
}

// A pulled unit: its open descriptor reaches the handler, which answers as the kernel does for
// a unit that has gone.
class FarlinkPulledTest : public FarlinkLinuxTest, public ::testing::WithParamInterface<PulledAnswer> {};

TEST_P(FarlinkPulledTest, TheConnectionCheckFailsForgetsTheUnitAndAReplugIsFoundAgain) {
  Open();
  EXPECT_EQ(FLNK_IsDeviceConnect(), 1);
  auto calls = handler_.TakeCalls();
  ASSERT_EQ(calls.size(), 1u) << "the check is one command";
  EXPECT_EQ(calls[0].direction, SG_DXFER_FROM_DEV);

  bed().Unplug(unit_);
  handler_.Pull(GetParam());
  EXPECT_EQ(FLNK_IsDeviceConnect(), 0);
  EXPECT_EQ(handler_.TakeCalls().size(), 1u) << "a gone unit is not asked three times";

  // Forgotten: no traffic any more, and the check stays FALSE.
  std::uint8_t a = 0, b = 0, c = 0;
  EXPECT_EQ(FLNK_ReadSpiFlashInfo(&a, &b, &c), 0);
  EXPECT_EQ(FLNK_IsDeviceConnect(), 0);
  EXPECT_TRUE(handler_.TakeCalls().empty());
  EXPECT_EQ(FLNK_OpenDevice(kVendor, kProduct), 0) << "nothing matching is plugged";

  // Plugged again: found under its new SCSI address and driven through a fresh descriptor.
  handler_.Pull(PulledAnswer::kNone);
  PlugUnit();
  Open();
  ASSERT_EQ(FLNK_ReadSpiFlashInfo(&a, &b, &c), 1);
  EXPECT_EQ(a, 0xEF);
  EXPECT_EQ(FLNK_IsDeviceConnect(), 1);
  EXPECT_TRUE(other_handler_.TakeCalls().empty());
}

INSTANTIATE_TEST_SUITE_P(NoDeviceAndHostStatus, FarlinkPulledTest,
                         ::testing::Values(PulledAnswer::kNoDevice, PulledAnswer::kHostNoConnect),
                         [](const auto& info) {
                           return info.param == PulledAnswer::kNoDevice ? "Enodev" : "DidNoConnect";
                         });

}  // namespace
}  // namespace velkin::test::linux_bed
