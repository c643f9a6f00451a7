// The FLNK_ exports of the built Farlink library, driven against virtual devices. Every command
// a virtual device receives is logged to its trace.log, which is how these tests see the bytes
// on the wire.
#include <gtest/gtest.h>
#include <velkin/farlink.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/device/common/command_blocks.h"
#include "tests/support/virtual_devices.h"

namespace velkin::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kVendor = "QUAMIRA";
constexpr const char* kProduct = "VOXA CDROM";

class FarlinkTest : public ::testing::Test {
 protected:
  void SetUp() override { devices_.Create("dev", setup_); }
  void TearDown() override { FLNK_CloseDevice(); }

  void Open() { ASSERT_EQ(FLNK_OpenDevice(kVendor, kProduct), 1); }
  std::vector<std::string> NewTrace(const std::string& name = "dev") { return devices_.NewTrace(name); }

  VirtualDeviceSetup setup_;
  VirtualDevices devices_;
};

TEST_F(FarlinkTest, EveryDeviceExportIsFalseWithoutTrafficBeforeOpenAndAfterClose) {
  const auto all_false = [] {
    Bytes buffer(64, 0);
    std::uint8_t a = 0, b = 0, c = 0;
    EXPECT_EQ(FLNK_EraseMemory(0, 8), 0);
    EXPECT_EQ(FLNK_ReadMemory(0, buffer.data(), 16), 0);
    EXPECT_EQ(FLNK_WriteMemory(0, buffer.data(), 16), 0);
    EXPECT_EQ(FLNK_WriteData(buffer.data(), 64), 0);
    EXPECT_EQ(FLNK_ReadData(buffer.data(), 64), 0);
    EXPECT_EQ(FLNK_ReadSpiFlashInfo(&a, &b, &c), 0);
    EXPECT_EQ(FLNK_WriteEEPROM_1Byte(0, 1), 0);
    EXPECT_EQ(FLNK_ReadEEPROM_1Byte(0, &a), 0);
    EXPECT_EQ(FLNK_WriteEEPROM_16Byte(0, buffer.data()), 0);
    EXPECT_EQ(FLNK_ReadEEPROM_16Byte(0, buffer.data()), 0);
    EXPECT_EQ(FLNK_SetIOPort(1), 0);
    EXPECT_EQ(FLNK_IsDeviceConnect(), 0);
  };
  EXPECT_EQ(FLNK_CloseDevice(), 1);  // TRUE also with nothing open
  all_false();
  EXPECT_TRUE(NewTrace().empty());

  Open();
  EXPECT_EQ(FLNK_SetIOPort(1), 1);
  EXPECT_EQ(NewTrace().size(), 1u);
  EXPECT_EQ(FLNK_CloseDevice(), 1);
  all_false();
  EXPECT_TRUE(NewTrace().empty());
  EXPECT_EQ(FLNK_CloseDevice(), 1);
}

TEST_F(FarlinkTest, OpenMatchesTheIdentityTextsExactly) {
  EXPECT_EQ(FLNK_OpenDevice("QUAMIRA", "VOXA_CDROM"), 1);  // a blank and an underscore are equal
  EXPECT_EQ(FLNK_OpenDevice("QUAMIR", kProduct), 0);       // no prefix matching
  EXPECT_EQ(FLNK_OpenDevice("quamira", kProduct), 0);      // case counts
  EXPECT_EQ(FLNK_OpenDevice(kVendor, "VOXA CDROM "), 0);   // lengths must be equal
  EXPECT_EQ(FLNK_OpenDevice("OTHER", "THING"), 0);
  EXPECT_EQ(FLNK_OpenDevice(kVendor, kProduct), 1);
}

TEST_F(FarlinkTest, EmptyOrMissingTextsMatchNothing) {
  // A device whose product field is all blanks would otherwise match an empty product text.
  VirtualDeviceSetup blank;
  blank.product = "";
  devices_.Create("blankproduct", blank);
  EXPECT_EQ(FLNK_OpenDevice(kVendor, ""), 0);
  EXPECT_EQ(FLNK_OpenDevice("", kProduct), 0);
  EXPECT_EQ(FLNK_OpenDevice("", ""), 0);
  EXPECT_EQ(FLNK_OpenDevice(nullptr, kProduct), 0);
  EXPECT_EQ(FLNK_OpenDevice(kVendor, nullptr), 0);
  std::uint8_t a = 0, b = 0, c = 0;
  EXPECT_EQ(FLNK_ReadSpiFlashInfo(&a, &b, &c), 0);
}

TEST_F(FarlinkTest, OnlyThirtyOneCharactersOfATextTakePart) {
  // The text is cut to 31 characters before matching, so a long text never matches the 8- and
  // 16-character fields, and nothing overruns.
  const std::string long_text(4095, 'Q');
  EXPECT_EQ(FLNK_OpenDevice(long_text.c_str(), kProduct), 0);
  EXPECT_EQ(FLNK_OpenDevice(kVendor, long_text.c_str()), 0);
}

TEST_F(FarlinkTest, OfTwoMatchingDevicesTheFirstListedIsOpened) {
  // Disk units are listed before CD-ROM units; "dev" is a CD-ROM unit.
  VirtualDeviceSetup disk;
  disk.cdrom = false;
  disk.flash_id[2] = 0x15;
  devices_.Create("zdisk", disk);
  Open();
  std::uint8_t m = 0, t = 0, c = 0;
  ASSERT_EQ(FLNK_ReadSpiFlashInfo(&m, &t, &c), 1);
  EXPECT_EQ(c, 0x15);
  EXPECT_EQ(NewTrace("dev").size(), 0u);
  EXPECT_EQ(NewTrace("zdisk").size(), 2u);
}

TEST_F(FarlinkTest, WrittenFlashReadsBackWithNorSemantics) {
  Open();
  Bytes block(4096);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 7 + 1);
  ASSERT_EQ(FLNK_EraseMemory(0x3000, 8), 1);
  ASSERT_EQ(FLNK_WriteMemory(0x3000, block.data(), 4096), 1);
  Bytes back(4096, 0);
  ASSERT_EQ(FLNK_ReadMemory(0x3000, back.data(), 4096), 1);
  EXPECT_EQ(back, block);
  const Bytes flash = devices_.Flash("dev");
  EXPECT_EQ(Bytes(flash.begin() + 0x3000, flash.begin() + 0x4000), block);
  EXPECT_EQ(flash[0x2FFF], 0xFF);
  EXPECT_EQ(flash[0x4000], 0xFF);

  // Programming over programmed cells only clears bits; an erase sets them again.
  const Bytes ones(4096, 0xF0);
  ASSERT_EQ(FLNK_WriteMemory(0x3000, ones.data(), 4096), 1);
  ASSERT_EQ(FLNK_ReadMemory(0x3000, back.data(), 4096), 1);
  EXPECT_EQ(back[1], static_cast<std::uint8_t>(block[1] & 0xF0));
  ASSERT_EQ(FLNK_EraseMemory(0x3FFF, 8), 1);  // the sector that holds the address
  ASSERT_EQ(FLNK_ReadMemory(0x3000, back.data(), 4096), 1);
  EXPECT_EQ(back, Bytes(4096, 0xFF));
}

TEST_F(FarlinkTest, LargeTransfersAndRefusals) {
  Open();
  // 16384 and 16385 bytes (the two request forms on Windows) both arrive whole.
  for (const std::uint32_t size : {16384u, 16385u}) {
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i % 251);
    ASSERT_EQ(FLNK_EraseMemory(0x20000, 128), 1);
    ASSERT_EQ(FLNK_WriteMemory(0x20000, data.data(), size), 1);
    Bytes back(size, 0);
    ASSERT_EQ(FLNK_ReadMemory(0x20000, back.data(), size), 1);
    EXPECT_EQ(back, data) << size;
  }
  // The unit refuses what lies outside its 1 MiB flash and unknown erase sizes.
  Bytes buffer(4096, 0);
  EXPECT_EQ(FLNK_ReadMemory(0x100000 - 2048, buffer.data(), 4096), 0);
  EXPECT_EQ(FLNK_WriteMemory(0x100000, buffer.data(), 16), 0);
  EXPECT_EQ(FLNK_EraseMemory(0, 16), 0);
  EXPECT_EQ(FLNK_EraseMemory(0x100000, 8), 0);
}

TEST_F(FarlinkTest, FlashIdentityWithAWrongEchoFailsAndLeavesTheOutputs) {
  devices_.Set("dev", "wrong_echo", "1");
  Open();
  std::uint8_t m = 1, t = 2, c = 3;
  EXPECT_EQ(FLNK_ReadSpiFlashInfo(&m, &t, &c), 0);
  EXPECT_EQ(m, 1);
  EXPECT_EQ(t, 2);
  EXPECT_EQ(c, 3);
}

TEST_F(FarlinkTest, EepromBusyRepliesArePolledEveryTenMilliseconds) {
  devices_.Set("dev", "eeprom_busy", "3");
  devices_.WriteEeprom("dev", 0, Bytes{0x42});
  Open();
  NewTrace();
  std::uint8_t value = 0;
  const auto start = Clock::now();
  ASSERT_EQ(FLNK_ReadEEPROM_1Byte(0, &value), 1);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(30));  // three pauses
  EXPECT_EQ(value, 0x42);
  const auto trace = NewTrace();
  ASSERT_EQ(trace.size(), 5u);  // the request, three busy replies, the final reply
  for (std::size_t i = 1; i < 5; ++i) EXPECT_EQ(trace[i], kReplyIn);
}

TEST_F(FarlinkTest, EepromThatStaysBusyGivesUpWithFalse) {
  devices_.Set("dev", "eeprom_busy", "forever");
  Open();
  Bytes record(16, 0x77);
  const auto start = Clock::now();
  EXPECT_EQ(FLNK_ReadEEPROM_16Byte(0, record.data()), 0);
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(2900));
  EXPECT_LT(waited, std::chrono::seconds(20));
  EXPECT_EQ(record, Bytes(16, 0x77));
  // The device is still usable afterwards.
  devices_.Set("dev", "eeprom_busy", "");
  EXPECT_EQ(FLNK_ReadEEPROM_16Byte(0, record.data()), 1);
  EXPECT_EQ(record, Bytes(16, 0));
}

TEST_F(FarlinkTest, EepromFailureMarkFailsEvenWithPlausibleData) {
  devices_.WriteEeprom("dev", 0, Bytes(16, 0x5A));
  devices_.Set("dev", "eeprom_fail", "1");
  Open();
  Bytes record(16, 0x11);
  EXPECT_EQ(FLNK_ReadEEPROM_16Byte(0, record.data()), 0);
  EXPECT_EQ(record, Bytes(16, 0x11));
  EXPECT_EQ(FLNK_WriteEEPROM_1Byte(3, 0x99), 0);
  EXPECT_EQ(devices_.Eeprom("dev")[3], 0x5A);  // nothing written
}

TEST_F(FarlinkTest, FailedPassThroughIsTriedThreeTimes) {
  devices_.Set("dev", "fail", "write:2");
  Open();
  NewTrace();
  Bytes block(4096, 0x00);
  EXPECT_EQ(FLNK_WriteMemory(0, block.data(), 4096), 1);  // two failures, then success
  EXPECT_EQ(NewTrace().size(), 3u);

  devices_.Set("dev", "fail", "write:3");
  EXPECT_EQ(FLNK_WriteMemory(0, block.data(), 4096), 0);
  EXPECT_EQ(NewTrace().size(), 3u);
  EXPECT_EQ(FLNK_WriteMemory(0, block.data(), 4096), 1);  // the fault is used up
}

TEST_F(FarlinkTest, CheckConditionIsNotRetried) {
  devices_.Set("dev", "check", "erase");
  devices_.Set("dev", "sense", "05 24 00");
  Open();
  NewTrace();
  EXPECT_EQ(FLNK_EraseMemory(0, 8), 0);
  EXPECT_EQ(NewTrace().size(), 1u);
  Bytes block(16, 0);
  EXPECT_EQ(FLNK_ReadMemory(0, block.data(), 16), 1);
}

TEST_F(FarlinkTest, RefusedWriteFailsOnlyThatBlock) {
  devices_.Set("dev", "refuse_write_at", "0x2000");
  Open();
  Bytes block(4096, 0x12);
  EXPECT_EQ(FLNK_WriteMemory(0x1000, block.data(), 4096), 1);
  EXPECT_EQ(FLNK_WriteMemory(0x2000, block.data(), 4096), 0);
  EXPECT_EQ(FLNK_WriteMemory(0x3000, block.data(), 4096), 1);
  const Bytes flash = devices_.Flash("dev");
  EXPECT_EQ(flash[0x1FFF], 0x12);
  EXPECT_EQ(flash[0x2000], 0xFF);
}

TEST_F(FarlinkTest, PulledOutDeviceIsForgottenByTheConnectionCheck) {
  Open();
  EXPECT_EQ(FLNK_IsDeviceConnect(), 1);
  EXPECT_EQ(FLNK_IsDeviceConnect(), 1);
  devices_.Unplug("dev");
  EXPECT_EQ(FLNK_IsDeviceConnect(), 0);
  std::uint8_t m = 0, t = 0, c = 0;
  EXPECT_EQ(FLNK_ReadSpiFlashInfo(&m, &t, &c), 0);
  EXPECT_EQ(FLNK_IsDeviceConnect(), 0);
  // Back in: still forgotten until the next open.
  devices_.Plug("dev");
  EXPECT_EQ(FLNK_IsDeviceConnect(), 0);
  EXPECT_EQ(FLNK_ReadSpiFlashInfo(&m, &t, &c), 0);
  Open();
  EXPECT_EQ(FLNK_ReadSpiFlashInfo(&m, &t, &c), 1);
  EXPECT_EQ(FLNK_IsDeviceConnect(), 1);
}

TEST_F(FarlinkTest, ConnectionCheckUsesInquiryWhichACdromUnitAnswers) {
  Open();
  NewTrace();
  EXPECT_EQ(FLNK_IsDeviceConnect(), 1);
  EXPECT_EQ(NewTrace(), (std::vector<std::string>{"in 120000002400 36"}));
}

TEST_F(FarlinkTest, DeviceThatGoesAwayAfterSomeCommands) {
  devices_.Set("dev", "unplug_after", "3");
  Open();
  Bytes block(16, 0);
  EXPECT_EQ(FLNK_SetIOPort(1), 1);
  EXPECT_EQ(FLNK_ReadMemory(0, block.data(), 16), 1);
  EXPECT_EQ(FLNK_ReadMemory(0, block.data(), 16), 1);
  EXPECT_EQ(FLNK_ReadMemory(0, block.data(), 16), 0);
  EXPECT_EQ(FLNK_IsDeviceConnect(), 0);
  // The unit has left the plugged-in devices.
  EXPECT_FALSE(std::filesystem::exists(devices_.root() / "dev"));
  EXPECT_EQ(FLNK_OpenDevice(kVendor, kProduct), 0);
}

TEST_F(FarlinkTest, ReopeningWhileOpenKeepsWorking) {
  Open();
  Open();
  EXPECT_EQ(FLNK_SetIOPort(1), 1);
  EXPECT_EQ(FLNK_IsDeviceConnect(), 1);
  // An open that finds nothing leaves nothing usable behind.
  EXPECT_EQ(FLNK_OpenDevice("OTHER", "THING"), 0);
  EXPECT_EQ(FLNK_SetIOPort(1), 0);
  EXPECT_EQ(FLNK_IsDeviceConnect(), 0);
  Open();
  EXPECT_EQ(FLNK_SetIOPort(1), 1);
}

TEST_F(FarlinkTest, MissingEmulatorFolderFindsNothing) {
  ScopedEnv missing("VELKIN_EMULATOR", (devices_.root() / "nowhere").string());
  EXPECT_EQ(FLNK_OpenDevice(kVendor, kProduct), 0);
}

// A unit that matches but cannot be opened is not silence: one line on stderr says where it is
// and why (the program's stdout stays as specified), once for each unit and error.
TEST_F(FarlinkTest, AUnitThatRefusesToOpenIsNamedOnStderrOnceWithItsError) {
  devices_.Set("dev", "refuse_open", "denied");
  const std::string said = "found QUAMIRA VOXA CDROM at " + devices_.Folder("dev").string() +
                           " but cannot open it: Permission denied; see README, Access\n";
  testing::internal::CaptureStderr();
  EXPECT_EQ(FLNK_OpenDevice(kVendor, kProduct), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), said);

  testing::internal::CaptureStderr();
  EXPECT_EQ(FLNK_OpenDevice(kVendor, kProduct), 0);
  EXPECT_EQ(FLNK_OpenDevice("QUAMIRA", "OTHER BOX"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "said once; a unit that does not match is not mentioned";

  devices_.Set("dev", "refuse_open", "busy");
  testing::internal::CaptureStderr();
  EXPECT_EQ(FLNK_OpenDevice(kVendor, kProduct), 0);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("but cannot open it: Device or resource busy;"),
            std::string::npos);

  devices_.Set("dev", "refuse_open", "");
  testing::internal::CaptureStderr();
  EXPECT_EQ(FLNK_OpenDevice(kVendor, kProduct), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace

}  // namespace velkin::test
