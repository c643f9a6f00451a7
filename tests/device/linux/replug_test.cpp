// Re-plugs on the Linux backend: the kernel hands a freed SCSI host number and sg node out again,
// so after a re-plug the old node may belong to another unit. The agent must keep talking to the
// unit it listed, wherever it is now, and never to the unit that took its old node.
#include <cstring>

#include "bed_fixture.h"
#include "device/qmlib/device_agent.h"

namespace velkin::test::linux_bed {
namespace {

constexpr std::uint8_t kInquiry[6] = {0x12, 0x00, 0x00, 0x00, 36, 0x00};

class ReplugTest : public UnitBedTest {
 protected:
  void SetUp() override {
    UnitBedTest::SetUp();
    if (HasFatalFailure()) return;
    std::strcpy(payload_.vendor, "QUAMIRA");
    std::strcpy(payload_.product, "VOXA CDROM");
    payload_.texts_set = 1;
    PlugUnitAt(root_, "1-2");  // /dev/sg0; the other disk has /dev/sg1
  }
  void TearDown() override {
    agent_.reset();
    UnitBedTest::TearDown();
  }

  qm::QMDeviceFilter Filter() const { return {qm::kFilterMassStorage, 2, &payload_}; }

  // Both units are pulled out and come back with their nodes swapped: the other disk on the
  // unit's old /dev/sg0, the unit (under its old SCSI host number) on /dev/sg1 with `devnum`.
  void ReplugWithNodesSwapped(int devnum) {
    const int host = std::stoi(unit_.address.substr(0, unit_.address.find(':')));
    bed().Unplug(unit_);
    bed().Unplug(other_);
    other_ = bed().PlugUsbUnit(root_, "1-1", {0x0BDA, 0x0129, 9}, kOtherDiskScsi, 0);
    bed().AttachIoctl(other_.devnode, other_handler_.object());
    unit_ = bed().PlugUsbUnit(root_, "1-2", {0xC0FE, 0x0A51, devnum}, {}, 1, host);
    bed().AttachIoctl(unit_.devnode, handler_.object());
  }

  // Entry 0 opened, asked for its INQUIRY data: true when it answered.
  bool AskEntry0() {
    qm::I_QMUsbDevice* device = nullptr;
    if (agent_->OpenEntry(0, true, &device) != qm::kQmOk) return false;
    qm::RetainedRef<qm::I_QMUsbDevice> held(device);
    void* view = nullptr;
    if (device->QueryInterface(qm::kInterfaceMassStorage, &view) != qm::kQmOk) return false;
    auto* unit = static_cast<qm::I_QMMassStorageDevice*>(view);
    std::uint8_t answer[36] = {};
    const bool ok = unit->ReadWithLength(kInquiry, sizeof kInquiry, answer, sizeof answer, 10) == qm::kQmOk;
    device->Close();
    return ok;
  }

  void ExpectTheUnitItselfIsListedAndAsked() {
    ASSERT_EQ(agent_->Enumerate(Filter()), qm::kQmOk);
    ASSERT_EQ(agent_->Count(), 1);
    EXPECT_STREQ(agent_->DeviceInfo(0)->Name(), unit_.name.c_str());
    handler_.TakeCalls();
    other_handler_.TakeCalls();
    EXPECT_TRUE(AskEntry0());
    EXPECT_EQ(handler_.TakeCalls().size(), 1u);
    EXPECT_TRUE(other_handler_.TakeCalls().empty()) << "the unit that took the old node got the command";
  }

  qm::QMMassStorageFilterPayload payload_;
  std::unique_ptr<qm::C_QMMassStorageDeviceAgent> agent_ = std::make_unique<qm::C_QMMassStorageDeviceAgent>();
};

TEST_F(ReplugTest, AReplugUnderTheOldScsiAddressIsANewUnitAtItsNewNode) {
  ASSERT_EQ(agent_->Enumerate(Filter()), qm::kQmOk);
  ASSERT_EQ(agent_->Count(), 1);
  const std::string before = agent_->DeviceInfo(0)->Name();
  EXPECT_EQ(before, "usb1.5.0");

  ReplugWithNodesSwapped(6);
  ExpectTheUnitItselfIsListedAndAsked();
  EXPECT_NE(before, unit_.name);
}

// A device number comes back only after the bus has counted through all 127; the listed entry
// then keeps its object, but is opened where the fresh record says the unit is.
TEST_F(ReplugTest, AnEntryKnownByNameIsOpenedAtTheNodeOfItsFreshRecord) {
  ASSERT_EQ(agent_->Enumerate(Filter()), qm::kQmOk);
  ASSERT_EQ(agent_->Count(), 1);
  ReplugWithNodesSwapped(5);
  ExpectTheUnitItselfIsListedAndAsked();
}

}  // namespace
}  // namespace velkin::test::linux_bed
