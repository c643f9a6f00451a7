// Device objects on the Linux transport: each command travels as one SG_IO call on the unit's sg
// node, and what comes back (data, status with sense, failed calls, a pulled unit) becomes the
// device object's result code, last sense and last OS error.
#include <scsi/sg.h>

#include <cerrno>

#include "bed_fixture.h"
#include "device/qmlib/mass_storage_device.h"
#include "device/qmlib/os/backend.h"

namespace velkin::test::linux_bed {
namespace {

using qm::kQmCheckCondition;
using qm::kQmOk;
using qm::kQmOpenFailed;
using qm::kQmPassThroughFailed;

constexpr std::uint8_t kTimeout = 10;

// Memory read of 4096 bytes at 0x00012345, memory erase of a 4 KiB sector.
const Bytes kReadCdb = {0xFD, 0x28, 0x00, 0x01, 0x23, 0x45, 0x06, 0x10, 0x00, 0, 0, 0, 0, 0, 'Q', 'M'};
const Bytes kEraseCdb = {0xFD, 0x20, 0x00, 0x01, 0x23, 0x45, 0x06, 0x00, 0x08, 0, 0, 0, 0, 0, 'Q', 'M'};
const Bytes kTestUnitReady = {0x00, 0, 0, 0, 0, 0};

class TransportTest : public BedTest {
 protected:
  void SetUp() override {
    BedTest::SetUp();
    if (HasFatalFailure()) return;
    const std::string root = bed().AddRootHub(1);
    unit_ = bed().PlugUsbUnit(root, "1-4", {}, {}, 0);
    bed().AttachIoctl(unit_.devnode, handler_.object());
    device_ = MakeDevice(unit_.devnode);
    ASSERT_EQ(device_->Open(), kQmOk);
  }

  void TearDown() override {
    device_.Reset();
    BedTest::TearDown();
  }

  static qm::RetainedRef<qm::C_QMMassStorageDevice> MakeDevice(const std::string& path) {
    qm::os::DeviceRecord record;
    record.path = path;
    record.name = "unit";
    return qm::RetainedRef<qm::C_QMMassStorageDevice>(new qm::C_QMMassStorageDevice(
        qm::C_QMUsbDeviceInfo(record, qm::QMDeviceFilter{}), qm::os::CreatePlatformBackend()->CreateTransport()));
  }

  std::int32_t Write(const Bytes& cdb, const Bytes& data) {
    return device_->Write(cdb.data(), static_cast<std::uint8_t>(cdb.size()), data.empty() ? nullptr : data.data(),
                          static_cast<std::uint32_t>(data.size()), kTimeout);
  }
  std::int32_t Read(const Bytes& cdb, Bytes& data, std::uint32_t* delivered = nullptr) {
    std::uint32_t length = static_cast<std::uint32_t>(data.size());
    const auto result =
        device_->Read(cdb.data(), static_cast<std::uint8_t>(cdb.size()), data.data(), &length, kTimeout);
    if (delivered != nullptr) *delivered = length;
    return result;
  }

  Unit unit_;
  SgFirmwareHandler handler_;
  qm::RetainedRef<qm::C_QMMassStorageDevice> device_;
};

TEST_F(TransportTest, AReadReportsWhatTheUnitDeliveredAndLeavesTheRestOfTheBuffer) {
  const Bytes inquiry = {0x12, 0x00, 0x00, 0x00, 96, 0x00};
  Bytes answer(96, 0x55);
  std::uint32_t delivered = 0;
  ASSERT_EQ(Read(inquiry, answer, &delivered), kQmOk);
  EXPECT_EQ(delivered, 36u) << "the unit answers a standard INQUIRY with 36 bytes";
  EXPECT_EQ(answer[0], 0x05) << "CD-ROM unit";
  EXPECT_EQ(std::string(answer.begin() + 8, answer.begin() + 16), "QUAMIRA ");
  EXPECT_EQ(Bytes(answer.begin() + 36, answer.end()), Bytes(60, 0x55));
  const auto calls = handler_.TakeCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].cdb, inquiry) << "a 6-byte block goes as 6 bytes";
}

// Fixed-format sense as most units send it, and descriptor format as newer ones (and libata) do:
// both end up as key << 16 | ASC << 8 | ASCQ.
class SenseTest : public TransportTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SenseTest, ACheckConditionKeepsItsSenseAndDeliversNoData) {
  handler_.UseDescriptorSense(GetParam());
  emu::Faults faults;
  faults.check = emu::CommandKind::kRead;
  faults.check_sense[0] = 0x05;
  faults.check_sense[1] = 0x24;
  faults.check_sense[2] = 0x00;
  handler_.SetFaults(faults);

  Bytes buffer(4096, 0x55);
  std::uint32_t length = 4096;
  EXPECT_EQ(device_->Read(kReadCdb.data(), 16, buffer.data(), &length, kTimeout), kQmCheckCondition);
  EXPECT_EQ(device_->LastSense(), 0x00052400u);
  EXPECT_EQ(buffer, Bytes(4096, 0x55)) << "what a failing unit left in the data phase is not an answer";
  EXPECT_EQ(length, 4096u);
  EXPECT_EQ(handler_.TakeCalls().size(), 1u) << "a check condition is an answer: not tried again";

  // A CD-ROM type unit without a medium fails TEST UNIT READY with 02/3A/00.
  EXPECT_EQ(Write(kTestUnitReady, {}), kQmCheckCondition);
  EXPECT_EQ(device_->LastSense(), 0x00023A00u);
  // Success leaves the last sense alone.
  EXPECT_EQ(Write(kEraseCdb, {}), kQmOk);
  EXPECT_EQ(device_->LastSense(), 0x00023A00u);
}

INSTANTIATE_TEST_SUITE_P(FixedAndDescriptor, SenseTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Descriptor" : "Fixed"; });

TEST_F(TransportTest, AFailingIoctlIsTriedThreeTimesAndItsErrnoKept) {
  handler_.FailIoctls(3, EIO);
  EXPECT_EQ(Write(kEraseCdb, {}), kQmPassThroughFailed);
  EXPECT_EQ(device_->LastOsError(), static_cast<std::uint32_t>(EIO));
  EXPECT_EQ(handler_.TakeCalls().size(), 3u);

  handler_.FailIoctls(2, EAGAIN);
  Bytes buffer(4096, 0);
  EXPECT_EQ(Read(kReadCdb, buffer), kQmOk) << "the third attempt gets through";
  EXPECT_EQ(handler_.TakeCalls().size(), 3u);
  EXPECT_EQ(device_->LastOsError(), static_cast<std::uint32_t>(EIO)) << "kept until the next failure";
}

TEST_F(TransportTest, AHostOrDriverErrorIsAFailedCallAndTriedAgain) {
  handler_.FailHost(1, 0x07);  // DID_ERROR: the adapter lost the command once
  EXPECT_EQ(Write(kEraseCdb, {}), kQmOk);
  EXPECT_EQ(handler_.TakeCalls().size(), 2u);

  handler_.FailHost(3, 0x03);  // DID_TIME_OUT every time
  Bytes buffer(4096, 0x55);
  EXPECT_EQ(Read(kReadCdb, buffer), kQmPassThroughFailed);
  EXPECT_EQ(device_->LastOsError(), static_cast<std::uint32_t>(ETIMEDOUT));
  EXPECT_EQ(buffer, Bytes(4096, 0x55));
  EXPECT_EQ(handler_.TakeCalls().size(), 3u);

  handler_.FailHost(3, 0x00, 0x04);  // DRIVER_ERROR
  EXPECT_EQ(Write(kEraseCdb, {}), kQmPassThroughFailed);
  EXPECT_EQ(device_->LastOsError(), static_cast<std::uint32_t>(EIO));
  handler_.FailHost(1, 0x00, 0x16);  // DRIVER_TIMEOUT with a retry suggestion in the high bits
  EXPECT_EQ(Write(kEraseCdb, {}), kQmOk);
  EXPECT_EQ(handler_.TakeCalls().size(), 5u);
}

// A pulled unit answers on the still-open descriptor either with ENODEV or, while the SCSI host
// is being torn down, with DID_NO_CONNECT. Both fail at once: a unit that is gone stays gone.
class PulledTest : public TransportTest, public ::testing::WithParamInterface<PulledAnswer> {};

TEST_P(PulledTest, APulledUnitFailsAtOnceWithNoDevice) {
  bed().Unplug(unit_);
  handler_.Pull(GetParam());
  EXPECT_EQ(Write(kEraseCdb, {}), kQmPassThroughFailed);
  EXPECT_EQ(device_->LastOsError(), static_cast<std::uint32_t>(ENODEV));
  EXPECT_EQ(handler_.TakeCalls().size(), 1u);
  // And it cannot be opened again, for a reason the user can be told.
  EXPECT_EQ(device_->Open(), kQmOpenFailed);
  const auto failure = device_->LastOpenFailure();
  EXPECT_EQ(failure.error, static_cast<std::uint32_t>(ENOENT));
  EXPECT_EQ(failure.text, "No such file or directory");
  EXPECT_EQ(Write(kEraseCdb, {}), qm::kQmNotOpen);
}

INSTANTIATE_TEST_SUITE_P(NoDeviceAndHostStatus, PulledTest,
                         ::testing::Values(PulledAnswer::kNoDevice, PulledAnswer::kHostNoConnect),
                         [](const auto& info) {
                           return info.param == PulledAnswer::kNoDevice ? "Enodev" : "DidNoConnect";
                         });

}  // namespace
}  // namespace velkin::test::linux_bed
