// Device objects over the virtual-device transport: open and close, retries, sense packing,
// reference counting and interfaces.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "device/qmlib/mass_storage_device.h"
#include "device/qmlib/os/backend.h"
#include "device/qmlib/vendor_commands.h"
#include "tests/support/virtual_devices.h"

namespace velkin::qm {
namespace {

using test::VirtualDevices;
using test::VirtualDeviceSetup;

constexpr std::uint8_t kInquiry[6] = {0x12, 0, 0, 0, 36, 0};
constexpr std::uint8_t kBadSignature[16] = {0xFD, 0x28, 0, 0, 0, 0, 0x06, 0, 16, 0, 0, 0, 0, 0, 'X', 'Y'};
constexpr std::uint8_t kRead16[16] = {0xFD, 0x28, 0, 0, 0, 0, 0x06, 0, 16, 0, 0, 0, 0, 0, 'Q', 'M'};

class DeviceObject : public ::testing::Test {
 protected:
  void SetUp() override {
    devices_.Create("dev");
    os::DeviceRecords units;
    ASSERT_TRUE(os::ActiveBackend()->ListDevices(units));
    ASSERT_EQ(units.size(), 1u);
    QMDeviceFilter filter;
    device_ = new C_QMMassStorageDevice(C_QMUsbDeviceInfo(units[0], filter), os::ActiveBackend()->CreateTransport());
  }
  void TearDown() override {
    if (device_ != nullptr) device_->Release();
  }

  VirtualDevices devices_;
  C_QMMassStorageDevice* device_ = nullptr;
};

TEST_F(DeviceObject, ClosedDeviceAnswersTwoWithoutTraffic) {
  std::uint8_t buffer[64] = {};
  std::uint32_t length = 36;
  EXPECT_EQ(device_->Read(kInquiry, 6, buffer, &length, 10), kQmNotOpen);
  EXPECT_EQ(device_->Write(kRead16, 16, nullptr, 0, 10), kQmNotOpen);
  EXPECT_FALSE(device_->IsOpen());
  EXPECT_TRUE(devices_.Trace("dev").empty());

  ASSERT_EQ(device_->Open(), kQmOk);
  EXPECT_TRUE(device_->IsOpen());
  EXPECT_EQ(device_->Close(), kQmOk);
  EXPECT_FALSE(device_->IsOpen());
  EXPECT_EQ(device_->Read(kInquiry, 6, buffer, &length, 10), kQmNotOpen);
}

TEST_F(DeviceObject, OpenFailureLeavesItClosed) {
  devices_.Unplug("dev");
  EXPECT_EQ(device_->Open(), kQmOpenFailed);
  EXPECT_FALSE(device_->IsOpen());
  devices_.Plug("dev");
  EXPECT_EQ(device_->Reopen(), kQmOk);
}

TEST_F(DeviceObject, ReadReportsTheDeliveredLength) {
  ASSERT_EQ(device_->Open(), kQmOk);
  std::uint8_t buffer[64];
  std::fill(std::begin(buffer), std::end(buffer), 0xEE);
  std::uint32_t length = 64;
  ASSERT_EQ(device_->Read(kInquiry, 6, buffer, &length, 10), kQmOk);
  EXPECT_EQ(length, 36u);
  EXPECT_EQ(buffer[0], 0x05);  // CD-ROM unit
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer + 8), 24), "QUAMIRA VOXA CDROM      ");
  EXPECT_EQ(buffer[36], 0xEE);
}

TEST_F(DeviceObject, AUnitGivenACommandTimeAnswersNoSooner) {
  devices_.Set("dev", "command_us", "20000");
  devices_.Set("dev", "byte_ns", "500000");
  ASSERT_EQ(device_->Open(), kQmOk);
  std::uint8_t buffer[64];
  std::uint32_t length = 64;
  const auto start = std::chrono::steady_clock::now();
  // 20 ms for the command, 0.5 ms for each of the 64 bytes asked for.
  ASSERT_EQ(device_->Read(kInquiry, 6, buffer, &length, 10), kQmOk);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(52));
}

TEST_F(DeviceObject, CheckConditionPacksTheSenseAndKeepsIt) {
  ASSERT_EQ(device_->Open(), kQmOk);
  std::uint8_t buffer[16];
  std::fill(std::begin(buffer), std::end(buffer), 0xEE);
  std::uint32_t length = 16;
  EXPECT_EQ(device_->Read(kBadSignature, 16, buffer, &length, 10), kQmCheckCondition);
  EXPECT_EQ(device_->LastSense(), 0x00052400u);
  EXPECT_EQ(length, 16u);
  EXPECT_EQ(buffer[0], 0xEE);                   // no data copied back
  EXPECT_EQ(devices_.Trace("dev").size(), 1u);  // not retried

  devices_.Set("dev", "check", "read:1");
  devices_.Set("dev", "sense", "0b 47 03");
  EXPECT_EQ(device_->Read(kRead16, 16, buffer, &length, 10), kQmCheckCondition);
  EXPECT_EQ(device_->LastSense(), 0x000B4703u);
  // Success never clears it.
  EXPECT_EQ(device_->Read(kRead16, 16, buffer, &length, 10), kQmOk);
  EXPECT_EQ(device_->LastSense(), 0x000B4703u);
  EXPECT_EQ(device_->LastOsError(), 0u);
}

TEST_F(DeviceObject, PassThroughFailuresAreRetriedUpToThreeAttempts) {
  ASSERT_EQ(device_->Open(), kQmOk);
  std::uint8_t buffer[16] = {};
  std::uint32_t length = 16;
  devices_.Set("dev", "fail_error", "1117");
  devices_.Set("dev", "fail", "read:2");
  EXPECT_EQ(device_->Read(kRead16, 16, buffer, &length, 10), kQmOk);
  EXPECT_EQ(device_->LastOsError(), 0u);  // stored only after the third failure
  EXPECT_EQ(devices_.Trace("dev").size(), 3u);

  devices_.Set("dev", "fail", "read:4");
  EXPECT_EQ(device_->Read(kRead16, 16, buffer, &length, 10), kQmPassThroughFailed);
  EXPECT_EQ(device_->LastOsError(), 1117u);
  EXPECT_EQ(devices_.Trace("dev").size(), 6u);
  EXPECT_EQ(device_->Read(kRead16, 16, buffer, &length, 10), kQmOk);  // the fourth failure, then success
  EXPECT_EQ(devices_.Trace("dev").size(), 8u);
  EXPECT_EQ(device_->LastOsError(), 1117u);
}

TEST_F(DeviceObject, PulledOutUnitFailsEveryCommand) {
  ASSERT_EQ(device_->Open(), kQmOk);
  devices_.Unplug("dev");
  std::uint8_t buffer[36] = {};
  std::uint32_t length = 36;
  EXPECT_EQ(device_->Read(kInquiry, 6, buffer, &length, 10), kQmPassThroughFailed);
  EXPECT_EQ(device_->LastOsError(), 1167u);
  // Also after it is back: the old handle stays dead, as a real one does.
  devices_.Plug("dev");
  EXPECT_EQ(device_->Read(kInquiry, 6, buffer, &length, 10), kQmPassThroughFailed);
  EXPECT_EQ(device_->Reopen(), kQmOk);
  EXPECT_EQ(device_->Read(kInquiry, 6, buffer, &length, 10), kQmOk);
}

TEST_F(DeviceObject, InterfacesAndReferenceCount) {
  void* out = nullptr;
  EXPECT_EQ(device_->QueryInterface(kInterfaceDevice, &out), kQmOk);
  EXPECT_EQ(out, static_cast<I_QMMassStorageDevice*>(device_));
  EXPECT_EQ(device_->QueryInterface(kInterfaceMassStorage, &out), kQmOk);
  EXPECT_EQ(out, static_cast<I_QMMassStorageDevice*>(device_));
  EXPECT_EQ(device_->QueryInterface(kInterfaceInternal, &out), kQmOk);
  EXPECT_EQ(out, static_cast<I_QMUsbDeviceInternal*>(device_));
  EXPECT_EQ(static_cast<I_QMUsbDeviceInternal*>(out)->Device(), static_cast<I_QMUsbDevice*>(device_));
  for (const std::uint32_t kind : {kInterfaceHidEx, kInterfaceStdDiskRW, 4u, 0xFFFEu}) {
    out = device_;
    EXPECT_EQ(device_->QueryInterface(kind, &out), kQmInterfaceFailed) << kind;
    EXPECT_EQ(out, nullptr);
  }
  EXPECT_EQ(device_->Retain(), 2);
  EXPECT_EQ(device_->Retain(), 3);
  EXPECT_EQ(device_->Release(), 2);
  EXPECT_EQ(device_->Release(), 1);
}

TEST(SensePacking, FixedFormatFields) {
  const std::uint8_t sense[18] = {0x70, 0, 0xF5, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x01};
  EXPECT_EQ(PackSense(sense, 18), 0x00052401u);  // only the low four bits of the key
  EXPECT_EQ(PackSense(sense, 13), 0x00052400u);  // a short sense: missing bytes count as 0
  EXPECT_EQ(PackSense(sense, 0), 0u);
}

}  // namespace
}  // namespace velkin::qm

namespace velkin::qm {
namespace {

TEST_F(DeviceObject, WholeChipEraseConversation) {
  devices_.Set("dev", "bulk_erase_polls", "2");
  devices_.WriteFlash("dev", 0x8000, std::vector<std::uint8_t>(16, 0x00));
  ASSERT_EQ(device_->Open(), kQmOk);
  VendorCommands commands(*device_, [] {});
  EXPECT_TRUE(commands.BulkErase());
  EXPECT_FALSE(commands.IsBulkEraseEnd());
  EXPECT_FALSE(commands.IsBulkEraseEnd());
  EXPECT_TRUE(commands.IsBulkEraseEnd());
  EXPECT_EQ(devices_.Flash("dev"), std::vector<std::uint8_t>(1 << 20, 0xFF));
  const auto trace = devices_.Trace("dev");
  ASSERT_EQ(trace.size(), 8u);
  EXPECT_EQ(trace[0].substr(trace[0].size() - 128, 6), "002100");
  EXPECT_EQ(trace[2].substr(trace[2].size() - 128, 6), "002200");
  devices_.Unplug("dev");
  EXPECT_FALSE(commands.IsBulkEraseEnd());
}

}  // namespace
}  // namespace velkin::qm
