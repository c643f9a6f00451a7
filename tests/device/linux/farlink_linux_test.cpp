// The FLNK_ exports of the built Farlink library on the Linux backend: the library finds the
// unit through libudev, opens its sg node and talks SG_IO; the handler on the mocked node lets
// the firmware model answer and shows the bytes that reached the "kernel".
#include <gtest/gtest.h>
#include <scsi/sg.h>
#include <velkin/farlink.h>

#include <chrono>

#include "bed_fixture.h"

namespace velkin::test::linux_bed {
namespace {

constexpr const char* kVendor = "QUAMIRA";
constexpr const char* kProduct = "VOXA CDROM";

const Bytes kDataOut = Cdb({0xE0});
const Bytes kDataIn = Cdb({0xD0});

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

TEST_F(FarlinkLinuxTest, MemoryCommandsTravelAsTheSpecifiedBlocksAndData) {
  Open();
  handler_.TakeCalls();

  ASSERT_EQ(FLNK_EraseMemory(0x00012345, 8), 1);
  ASSERT_EQ(FLNK_EraseMemory(0x00010000, 0x180), 1) << "only the low byte of the size is sent";
  Bytes image(4096);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i ^ (i >> 8));
  ASSERT_EQ(FLNK_WriteMemory(0x00012000, image.data(), 4096), 1);
  EXPECT_EQ(handler_.Flash(0x12000, 4096), image);
  Bytes back(0x12345, 0);
  ASSERT_EQ(FLNK_ReadMemory(0x00012000, back.data(), 0x12345), 1) << "the count is cut to 0x2345";
  EXPECT_EQ(Bytes(back.begin(), back.begin() + 4096), image);
  EXPECT_EQ(Bytes(back.begin() + 0x2345, back.end()), Bytes(0x12345 - 0x2345, 0)) << "nothing past the cut count";

  const auto calls = handler_.TakeCalls();
  ASSERT_EQ(calls.size(), 4u);
  for (const auto& call : calls) {
    EXPECT_EQ(call.interface_id, 'S');
    EXPECT_EQ(call.timeout_ms, 10000u) << "10 s";
    EXPECT_GE(call.mx_sb_len, 18u) << "room for fixed-format sense";
  }
  EXPECT_EQ(calls[0].cdb, Cdb({0xFD, 0x20, 0x00, 0x01, 0x23, 0x45, 0x06, 0x00, 0x08}));
  EXPECT_EQ(calls[0].direction, SG_DXFER_NONE);
  EXPECT_EQ(calls[0].dxfer_len, 0u);
  EXPECT_EQ(calls[1].cdb, Cdb({0xFD, 0x20, 0x00, 0x01, 0x00, 0x00, 0x06, 0x00, 0x80}));
  EXPECT_EQ(calls[2].cdb, Cdb({0xFD, 0x2A, 0x00, 0x01, 0x20, 0x00, 0x06, 0x10, 0x00}));
  EXPECT_EQ(calls[2].direction, SG_DXFER_TO_DEV);
  EXPECT_EQ(calls[2].data_out, image);
  EXPECT_EQ(calls[3].cdb, Cdb({0xFD, 0x28, 0x00, 0x01, 0x20, 0x00, 0x06, 0x23, 0x45}));
  EXPECT_EQ(calls[3].direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(calls[3].dxfer_len, 0x2345u);
  EXPECT_TRUE(other_handler_.TakeCalls().empty());
}

TEST_F(FarlinkLinuxTest, RequestAndReplyBlocksOfFlashIdentityAndIoPort) {
  Open();
  handler_.TakeCalls();

  std::uint8_t manufacturer = 0, type = 0, capacity = 0;
  ASSERT_EQ(FLNK_ReadSpiFlashInfo(&manufacturer, &type, &capacity), 1);
  EXPECT_EQ(manufacturer, 0xEF);
  EXPECT_EQ(type, 0x40);
  EXPECT_EQ(capacity, 0x16);
  ASSERT_EQ(FLNK_SetIOPort(1), 1);
  EXPECT_TRUE(handler_.IoPortTaken());
  ASSERT_EQ(FLNK_SetIOPort(0), 1);
  EXPECT_FALSE(handler_.IoPortTaken());

  auto calls = handler_.TakeCalls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].cdb, kDataOut);
  EXPECT_EQ(calls[0].direction, SG_DXFER_TO_DEV);
  EXPECT_EQ(calls[0].data_out, Request({{1, 0x20}}));
  EXPECT_EQ(calls[1].cdb, kDataIn);
  EXPECT_EQ(calls[1].direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(calls[1].dxfer_len, 64u);
  EXPECT_EQ(calls[2].data_out, Request({{1, 0x06}, {3, 0}})) << "flag 1 sends 0";
  EXPECT_EQ(calls[3].data_out, Request({{1, 0x06}, {3, 1}})) << "flag 0 sends 1";

  // The raw pair: a request block out, its reply block in.
  const Bytes request = Request({{1, 0x20}});
  ASSERT_EQ(FLNK_WriteData(request.data(), 64), 1);
  Bytes reply(64, 0);
  ASSERT_EQ(FLNK_ReadData(reply.data(), 64), 1);
  EXPECT_EQ(reply[1], 0x20);
  EXPECT_EQ(Bytes(reply.begin() + 13, reply.begin() + 16), (Bytes{0xEF, 0x40, 0x16}));
  calls = handler_.TakeCalls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].cdb, kDataOut);
  EXPECT_EQ(calls[0].data_out, request);
  EXPECT_EQ(calls[1].cdb, kDataIn);
}

TEST_F(FarlinkLinuxTest, EepromRequestsCarryTheirBytesAndWaitWhileTheUnitIsBusy) {
  Open();
  handler_.TakeCalls();

  ASSERT_EQ(FLNK_WriteEEPROM_1Byte(5, 0x1234), 1);
  EXPECT_EQ(handler_.Eeprom(5, 1), Bytes{0x34});
  std::uint8_t byte = 0;
  ASSERT_EQ(FLNK_ReadEEPROM_1Byte(5, &byte), 1);
  EXPECT_EQ(byte, 0x34);
  Bytes record(16);
  for (std::size_t i = 0; i < 16; ++i) record[i] = static_cast<std::uint8_t>(0xA0 + i);
  ASSERT_EQ(FLNK_WriteEEPROM_16Byte(16, record.data()), 1);
  EXPECT_EQ(handler_.Eeprom(16, 16), record);
  Bytes read_back(16, 0);
  ASSERT_EQ(FLNK_ReadEEPROM_16Byte(16, read_back.data()), 1);
  EXPECT_EQ(read_back, record);

  const auto calls = handler_.TakeCalls();
  ASSERT_EQ(calls.size(), 8u) << "each operation: its request, then one reply";
  EXPECT_EQ(calls[0].data_out, Request({{1, 0x0D}, {3, 1}, {5, 0xA0}, {6, 5}, {7, 0x34}}));
  EXPECT_EQ(calls[2].data_out, Request({{1, 0x0D}, {3, 1}, {5, 0xA1}, {6, 5}}));
  Bytes write16 = Request({{1, 0x0F}, {3, 1}, {5, 0xA0}, {6, 16}});
  std::copy(record.begin(), record.end(), write16.begin() + 16);
  EXPECT_EQ(calls[4].data_out, write16);
  EXPECT_EQ(calls[6].data_out, Request({{1, 0x0F}, {3, 1}, {5, 0xA1}, {6, 16}}));
  for (std::size_t i = 1; i < calls.size(); i += 2) EXPECT_EQ(calls[i].cdb, kDataIn);

  // Three busy replies, then the answer: three 10 ms pauses.
  emu::Faults faults;
  faults.eeprom_busy = 3;
  handler_.SetFaults(faults);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(FLNK_ReadEEPROM_16Byte(16, read_back.data()), 1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
  EXPECT_EQ(read_back, record);
  EXPECT_EQ(handler_.TakeCalls().size(), 5u);
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
