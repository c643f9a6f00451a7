// The firmware model through its plain interface: command block and data in, status, sense and
// data out. These are the answers every virtual device and the Linux test bed give.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "emulator/device_folder.h"
#include "emulator/firmware.h"

namespace velkin::emu {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Memory(std::uint8_t op, std::uint32_t address, std::uint16_t count_or_code) {
  return {0xFD,
          op,
          static_cast<std::uint8_t>(address >> 24),
          static_cast<std::uint8_t>(address >> 16),
          static_cast<std::uint8_t>(address >> 8),
          static_cast<std::uint8_t>(address),
          0x06,
          static_cast<std::uint8_t>(count_or_code >> 8),
          static_cast<std::uint8_t>(count_or_code),
          0,
          0,
          0,
          0,
          0,
          'Q',
          'M'};
}
const Bytes kDataOut{0xE0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'Q', 'M'};
const Bytes kDataIn{0xD0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'Q', 'M'};

Bytes Request(std::initializer_list<std::pair<std::size_t, std::uint8_t>> bytes) {
  Bytes block(64, 0);
  for (const auto& [at, value] : bytes) block[at] = value;
  return block;
}

class Model : public ::testing::Test {
 protected:
  Response Run(const Bytes& cdb, Direction direction, Bytes& data) { return firmware_.Execute(cdb, direction, data); }
  Response Out(const Bytes& cdb, Bytes data) {
    return Run(cdb, data.empty() ? Direction::kNone : Direction::kOut, data);
  }
  Bytes In(const Bytes& cdb, std::size_t length, Response* response = nullptr) {
    Bytes data(length, 0xEE);
    const Response r = Run(cdb, Direction::kIn, data);
    if (response != nullptr) *response = r;
    return data;
  }
  Bytes Reply() { return In(kDataIn, 64); }
  void Faults(const velkin::emu::Faults& faults) { firmware_.SetFaults(faults); }

  MemoryStorage flash_{64 * 1024, 0xFF};
  MemoryStorage eeprom_{256, 0x00};
  Firmware firmware_{Identity{}, flash_, eeprom_};
};

void ExpectCheck(const Response& r, Sense sense) {
  EXPECT_EQ(r.kind, Response::Kind::kCheckCondition);
  EXPECT_EQ(r.status(), 0x02);
  EXPECT_EQ(r.sense, sense);
}

TEST_F(Model, EraseSizesAlignToTheirSectorOrBlock) {
  flash_.bytes().assign(flash_.Size(), 0x00);
  EXPECT_EQ(Out(Memory(0x20, 0x1234, 8), {}).kind, Response::Kind::kGood);
  EXPECT_EQ(flash_.bytes()[0x0FFF], 0x00);
  EXPECT_EQ(flash_.bytes()[0x1000], 0xFF);
  EXPECT_EQ(flash_.bytes()[0x1FFF], 0xFF);
  EXPECT_EQ(flash_.bytes()[0x2000], 0x00);
  EXPECT_EQ(Out(Memory(0x20, 0xFFFF, 128), {}).kind, Response::Kind::kGood);
  EXPECT_EQ(flash_.bytes(), Bytes(flash_.Size(), 0xFF));

  ExpectCheck(Out(Memory(0x20, 0, 16), {}), kInvalidFieldInCdb);       // neither 8 nor 128
  ExpectCheck(Out(Memory(0x20, 0x10000, 8), {}), kAddressOutOfRange);  // beyond the chip
}

TEST_F(Model, ProgrammingOnlyClearsBits) {
  EXPECT_EQ(Out(Memory(0x2A, 0x100, 4), Bytes{0xF0, 0x0F, 0x55, 0xFF}).kind, Response::Kind::kGood);
  EXPECT_EQ(Out(Memory(0x2A, 0x100, 4), Bytes{0x3C, 0x3C, 0xFF, 0x00}).kind, Response::Kind::kGood);
  Response r;
  EXPECT_EQ(In(Memory(0x28, 0x0FF, 6), 6, &r), (Bytes{0xFF, 0x30, 0x0C, 0x55, 0x00, 0xFF}));
  EXPECT_EQ(r.transferred, 6u);
}

TEST_F(Model, MemoryCommandsCheckTheirBlockAndDirection) {
  // The "QM" signature and the constant 0x06 belong to every memory command.
  Bytes bad = Memory(0x28, 0, 4);
  bad[15] = 'X';
  Response r;
  const Bytes untouched = In(bad, 4, &r);
  ExpectCheck(r, kInvalidFieldInCdb);
  EXPECT_EQ(r.FixedSense()[2], 0x05);
  EXPECT_EQ(r.FixedSense()[12], 0x24);
  EXPECT_EQ(untouched, Bytes(4, 0xEE));  // no data on a check condition
  bad = Memory(0x28, 0, 4);
  bad[6] = 0x07;
  In(bad, 4, &r);
  ExpectCheck(r, kInvalidFieldInCdb);
  Bytes data(4, 0);
  ExpectCheck(Run(Memory(0x28, 0, 4), Direction::kOut, data), kInvalidFieldInCdb);
  ExpectCheck(Run(Memory(0x2A, 0, 4), Direction::kIn, data), kInvalidFieldInCdb);
  ExpectCheck(Run(Memory(0x99, 0, 4), Direction::kIn, data), kInvalidFieldInCdb);
  ExpectCheck(Run(Bytes{0x5A, 0, 0, 0, 0, 0}, Direction::kIn, data), kInvalidOpcode);
  In(Memory(0x28, 0xFFFE, 4), 4, &r);
  ExpectCheck(r, kAddressOutOfRange);
}

TEST_F(Model, FlashIdentityReply) {
  EXPECT_EQ(Out(kDataOut, Request({{1, 0x20}})).kind, Response::Kind::kGood);
  const Bytes reply = Reply();
  EXPECT_EQ(reply[1], 0x20);
  EXPECT_EQ(reply[13], 0x20);
  EXPECT_EQ(reply[14], 0x20);
  EXPECT_EQ(reply[15], 0x14);
  EXPECT_EQ(Reply(), reply);  // the reply stays until the next request

  velkin::emu::Faults faults;
  faults.wrong_echo = true;
  Faults(faults);
  Out(kDataOut, Request({{1, 0x20}}));
  EXPECT_NE(Reply()[1], 0x20);
}

TEST_F(Model, IoPort) {
  EXPECT_FALSE(firmware_.io_port_set());
  Out(kDataOut, Request({{1, 0x06}, {3, 0}}));
  EXPECT_TRUE(firmware_.io_port_set());
  Out(kDataOut, Request({{1, 0x06}, {3, 1}}));
  EXPECT_FALSE(firmware_.io_port_set());
  ExpectCheck(Out(kDataOut, Request({{1, 0x06}, {3, 2}})), kInvalidFieldInParameters);
}

TEST_F(Model, EepromOneAndSixteenBytes) {
  Out(kDataOut, Request({{1, 0x0D}, {3, 1}, {5, 0xA0}, {6, 5}, {7, 0x34}}));
  Bytes reply = Reply();
  EXPECT_EQ(reply[0], 0x00);
  EXPECT_EQ(reply[8], 0x5A);
  EXPECT_EQ(eeprom_.bytes()[5], 0x34);

  Out(kDataOut, Request({{1, 0x0D}, {3, 1}, {5, 0xA1}, {6, 5}}));
  reply = Reply();
  EXPECT_EQ(reply[8], 0x5A);
  EXPECT_EQ(reply[9], 0x34);

  Bytes write16 = Request({{1, 0x0F}, {3, 1}, {5, 0xA0}, {6, 0xF8}});
  for (std::uint8_t i = 0; i < 16; ++i) write16[16 + i] = static_cast<std::uint8_t>(0xA0 + i);
  Out(kDataOut, write16);
  EXPECT_EQ(Reply()[8], 0x5A);
  EXPECT_EQ(eeprom_.bytes()[0xFF], 0xA7);
  EXPECT_EQ(eeprom_.bytes()[0x00], 0xA8);  // the address wraps around the chip

  Out(kDataOut, Request({{1, 0x0F}, {3, 1}, {5, 0xA1}, {6, 0xF8}}));
  reply = Reply();
  EXPECT_EQ(Bytes(reply.begin() + 16, reply.begin() + 32), Bytes(write16.begin() + 16, write16.begin() + 32));

  // A shorter data phase is taken as it is: the model reports the bytes it was given.
  Bytes short_request = Request({{1, 0x0D}, {3, 1}, {5, 0xA1}, {6, 5}});
  short_request.resize(40);
  const Response taken = Out(kDataOut, short_request);
  EXPECT_EQ(taken.kind, Response::Kind::kGood);
  EXPECT_EQ(taken.transferred, 40u);
  EXPECT_EQ(Reply()[9], eeprom_.bytes()[5]);

  ExpectCheck(Out(kDataOut, Request({{1, 0x0F}, {3, 0}, {5, 0xA1}})), kInvalidFieldInParameters);
  ExpectCheck(Out(kDataOut, Request({{1, 0x0F}, {3, 1}, {5, 0xA2}})), kInvalidFieldInParameters);
  ExpectCheck(Out(kDataOut, Request({{1, 0x77}})), kInvalidFieldInParameters);
}

TEST_F(Model, EepromBusyRepliesThenTheResult) {
  velkin::emu::Faults faults;
  faults.eeprom_busy = 3;
  Faults(faults);
  eeprom_.bytes()[9] = 0x66;
  Out(kDataOut, Request({{1, 0x0D}, {3, 1}, {5, 0xA1}, {6, 9}}));
  for (int i = 0; i < 3; ++i) {
    const Bytes busy = Reply();
    EXPECT_EQ(busy[0], 0x5A) << i;
    EXPECT_EQ(busy[9], 0x00);
  }
  const Bytes done = Reply();
  EXPECT_EQ(done[0], 0x00);
  EXPECT_EQ(done[8], 0x5A);
  EXPECT_EQ(done[9], 0x66);

  // A write takes effect only when the operation ends.
  Out(kDataOut, Request({{1, 0x0D}, {3, 1}, {5, 0xA0}, {6, 9}, {7, 0x11}}));
  EXPECT_EQ(Reply()[0], 0x5A);
  EXPECT_EQ(eeprom_.bytes()[9], 0x66);
  Reply();
  Reply();
  EXPECT_EQ(Reply()[8], 0x5A);
  EXPECT_EQ(eeprom_.bytes()[9], 0x11);

  faults.eeprom_busy_forever = true;
  Faults(faults);
  Out(kDataOut, Request({{1, 0x0D}, {3, 1}, {5, 0xA1}, {6, 9}}));
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(Reply()[0], 0x5A);

  faults = {};
  faults.eeprom_fail = true;
  Faults(faults);
  Out(kDataOut, Request({{1, 0x0D}, {3, 1}, {5, 0xA0}, {6, 9}, {7, 0x22}}));
  const Bytes failed = Reply();
  EXPECT_EQ(failed[0], 0x00);
  EXPECT_NE(failed[8], 0x5A);
  EXPECT_EQ(eeprom_.bytes()[9], 0x11);
}

TEST_F(Model, WholeChipEraseAndItsEndPoll) {
  flash_.bytes().assign(flash_.Size(), 0x12);
  Out(kDataOut, Request({{1, 0x21}}));
  EXPECT_EQ(Reply()[13], 0x5A);  // accepted
  EXPECT_EQ(flash_.bytes(), Bytes(flash_.Size(), 0xFF));
  for (int i = 0; i < 3; ++i) {
    Out(kDataOut, Request({{1, 0x22}}));
    EXPECT_EQ(Reply()[13], 0x00) << i;  // not yet
  }
  Out(kDataOut, Request({{1, 0x22}}));
  EXPECT_EQ(Reply()[13], 0x5A);
  Out(kDataOut, Request({{1, 0x22}}));
  EXPECT_EQ(Reply()[13], 0x5A);  // and stays ended
}

// What one program leaves in the unit, another finds there: the state between commands travels
// through SaveState/LoadState (the device folder's firmware.state for virtual devices).
TEST_F(Model, TheStateBetweenCommandsCarriesOverToAnotherModel) {
  velkin::emu::Faults faults;
  faults.eeprom_busy = 2;
  Faults(faults);
  eeprom_.bytes()[9] = 0x66;
  Out(kDataOut, Request({{1, 0x06}, {3, 0}}));  // takes the I/O port
  Out(kDataOut, Request({{1, 0x0D}, {3, 1}, {5, 0xA1}, {6, 9}}));
  EXPECT_EQ(Reply()[0], 0x5A);

  Firmware other{Identity{}, flash_, eeprom_};
  ASSERT_TRUE(other.LoadState(firmware_.SaveState()));
  EXPECT_TRUE(other.io_port_set());
  Bytes reply(64, 0);
  other.Execute(kDataIn, Direction::kIn, reply);
  EXPECT_EQ(reply[0], 0x5A) << "one busy reply is still due";
  other.Execute(kDataIn, Direction::kIn, reply);
  EXPECT_EQ(reply[8], 0x5A);
  EXPECT_EQ(reply[9], 0x66);

  // A whole-chip erase in progress, and the reply block itself.
  Out(kDataOut, Request({{1, 0x21}}));
  ASSERT_TRUE(other.LoadState(firmware_.SaveState()));
  Bytes block = Request({{1, 0x22}});
  for (int i = 0; i < 3; ++i) {
    other.Execute(kDataOut, Direction::kOut, block);
    other.Execute(kDataIn, Direction::kIn, reply);
    EXPECT_EQ(reply[13], 0x00) << i;
  }
  ASSERT_TRUE(firmware_.LoadState(other.SaveState()));
  EXPECT_EQ(Reply()[1], 0x22) << "the last reply block carries over";
  Out(kDataOut, Request({{1, 0x22}}));
  EXPECT_EQ(Reply()[13], 0x5A);

  // Anything but a saved state leaves the model as it was.
  EXPECT_FALSE(other.LoadState({}));
  Bytes foreign = other.SaveState();
  foreign[0] = 99;
  EXPECT_FALSE(other.LoadState(foreign));
  EXPECT_TRUE(other.io_port_set());
}

TEST_F(Model, StandardCommands) {
  Response r;
  Bytes inquiry = In(Bytes{0x12, 0, 0, 0, 36, 0}, 96, &r);
  EXPECT_EQ(r.kind, Response::Kind::kGood);
  EXPECT_EQ(r.transferred, 36u);
  EXPECT_EQ(inquiry[0], 0x05);
  EXPECT_EQ(std::string(inquiry.begin() + 8, inquiry.begin() + 36), "QUAMIRA VOXA CDROM      1.00");
  EXPECT_EQ(inquiry[36], 0xEE);
  In(Bytes{0x12, 0, 0, 0, 8, 0}, 96, &r);
  EXPECT_EQ(r.transferred, 8u);  // the allocation length limits the answer
  In(Bytes{0x12, 1, 0x80, 0, 36, 0}, 96, &r);
  ExpectCheck(r, kInvalidFieldInCdb);

  // TEST UNIT READY: a CD-ROM type unit has no medium, a disk unit is ready.
  ExpectCheck(Out(Bytes{0, 0, 0, 0, 0, 0}, {}), kMediumNotPresent);
  MemoryStorage flash(4096, 0xFF);
  MemoryStorage eeprom(256, 0);
  Identity disk;
  disk.type = UnitType::kDisk;
  Firmware disk_unit(disk, flash, eeprom);
  Bytes none;
  EXPECT_EQ(disk_unit.Execute(Bytes{0, 0, 0, 0, 0, 0}, Direction::kNone, none).kind, Response::Kind::kGood);
  Bytes answer(36, 0);
  disk_unit.Execute(Bytes{0x12, 0, 0, 0, 36, 0}, Direction::kIn, answer);
  EXPECT_EQ(answer[0], 0x00);
}

TEST_F(Model, InjectedTransportFailuresAndCheckConditions) {
  velkin::emu::Faults faults;
  faults.fail = CommandKind::kWrite;
  faults.fail_count = 2;
  faults.fail_error = 1117;
  faults.check = CommandKind::kErase;
  faults.check_count = 1;
  faults.check_sense[0] = 0x0B;
  faults.check_sense[1] = 0x47;
  faults.check_sense[2] = 0x03;
  Faults(faults);
  for (int i = 0; i < 2; ++i) {
    const Response r = Out(Memory(0x2A, 0, 1), Bytes{0});
    EXPECT_EQ(r.kind, Response::Kind::kTransportError);
    EXPECT_EQ(r.os_error, 1117u);
  }
  EXPECT_EQ(Out(Memory(0x2A, 0, 1), Bytes{0}).kind, Response::Kind::kGood);
  ExpectCheck(Out(Memory(0x20, 0, 8), {}), Sense{0x0B, 0x47, 0x03});
  EXPECT_EQ(Out(Memory(0x20, 0, 8), {}).kind, Response::Kind::kGood);
  EXPECT_EQ(In(Memory(0x28, 0, 1), 1)[0], 0xFF);  // other commands are unaffected

  faults = {};
  faults.fail = CommandKind::kAny;  // count 0: for ever
  Faults(faults);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Reply()[0], 0xEE);
}

TEST_F(Model, RefusedWriteLeavesTheFlashAlone) {
  velkin::emu::Faults faults;
  faults.refuse_write_at = 0x2000;
  Faults(faults);
  ExpectCheck(Out(Memory(0x2A, 0x1F00, 0x200), Bytes(0x200, 0)), kWriteError);
  EXPECT_EQ(flash_.bytes()[0x1F00], 0xFF);
  EXPECT_EQ(Out(Memory(0x2A, 0x1E00, 0x200), Bytes(0x200, 0)).kind, Response::Kind::kGood);  // ends before it
  EXPECT_EQ(Out(Memory(0x2A, 0x2001, 0x10), Bytes(0x10, 0)).kind, Response::Kind::kGood);
}

TEST_F(Model, UnplugAfterSomeCommands) {
  velkin::emu::Faults faults;
  faults.unplug_after = 2;
  Faults(faults);
  EXPECT_EQ(In(Memory(0x28, 0, 1), 1)[0], 0xFF);
  EXPECT_FALSE(firmware_.gone());
  EXPECT_EQ(In(Memory(0x28, 0, 1), 1)[0], 0xFF);
  EXPECT_TRUE(firmware_.gone());  // right after its last answer
  Response r;
  In(Memory(0x28, 0, 1), 1, &r);
  EXPECT_EQ(r.kind, Response::Kind::kGone);
  faults = {};
  Faults(faults);
  In(Memory(0x28, 0, 1), 1, &r);
  EXPECT_EQ(r.kind, Response::Kind::kGone);  // a pulled unit does not come back
}

TEST(DeviceConfig, ParsesAndWritesEverySetting) {
  std::string error;
  const auto config = ParseDeviceConfig(
      "# a disk unit\n"
      "vendor = ACME CO\n"
      "product =  BOX 2 \r\n"
      "revision=0.9\n"
      "type = disk\n"
      "usb_vendor_id = 0x1234\n"
      "usb_product_id = 22136\n"
      "hub = 3\n"
      "port = -1\n"
      "flash_id = ef4018\n"
      "trace = 1\n"
      "fail = data_out:2\n"
      "fail_error = 0x45d\n"
      "check = any\n"
      "sense = 02 3a 00\n"
      "eeprom_busy = forever\n"
      "eeprom_fail = yes\n"
      "wrong_echo = 1\n"
      "refuse_write_at = 0x3000\n"
      "unplug_after = 40\n"
      "bulk_erase_polls = 7\n"
      "command_us = 1500\n"
      "byte_ns = 30\n",
      &error);
  ASSERT_TRUE(config) << error;
  EXPECT_EQ(config->identity.vendor, "ACME CO");
  EXPECT_EQ(config->identity.product, "BOX 2");
  EXPECT_EQ(config->identity.revision, "0.9");
  EXPECT_EQ(config->identity.type, UnitType::kDisk);
  EXPECT_EQ(config->usb_vendor_id, 0x1234);
  EXPECT_EQ(config->usb_product_id, 0x5678);
  EXPECT_EQ(config->hub, 3);
  EXPECT_EQ(config->port, -1);
  EXPECT_EQ(config->identity.flash_id, (std::array<std::uint8_t, 3>{0xEF, 0x40, 0x18}));
  EXPECT_TRUE(config->trace);
  EXPECT_EQ(config->faults.fail, CommandKind::kDataOut);
  EXPECT_EQ(config->faults.fail_count, 2u);
  EXPECT_EQ(config->faults.fail_error, 0x45Du);
  EXPECT_EQ(config->faults.check, CommandKind::kAny);
  EXPECT_EQ(config->faults.check_sense[1], 0x3A);
  EXPECT_TRUE(config->faults.eeprom_busy_forever);
  EXPECT_TRUE(config->faults.eeprom_fail);
  EXPECT_TRUE(config->faults.wrong_echo);
  EXPECT_EQ(config->faults.refuse_write_at, 0x3000u);
  EXPECT_EQ(config->faults.unplug_after, 40u);
  EXPECT_EQ(config->faults.bulk_erase_polls, 7u);
  EXPECT_EQ(config->faults.command_us, 1500u);
  EXPECT_EQ(config->faults.byte_ns, 30u);

  // A text field is cut to its INQUIRY width and trimmed after the cut, so that it reads back the same.
  const auto cut = ParseDeviceConfig("vendor = ABC     DEFG\nproduct = P\t\t\t\t\t\t\t\t\t\t\t\t\t\t\tQ\n", &error);
  ASSERT_TRUE(cut) << error;
  EXPECT_EQ(cut->identity.vendor, "ABC");
  EXPECT_EQ(cut->identity.product, "P");

  // What is written reads back the same.
  const auto again = ParseDeviceConfig(FormatDeviceConfig(*config), &error);
  ASSERT_TRUE(again) << error;
  EXPECT_EQ(FormatDeviceConfig(*again), FormatDeviceConfig(*config));
  EXPECT_EQ(again->faults.command_us, 1500u);
  EXPECT_EQ(again->faults.byte_ns, 30u);
}

TEST(DeviceConfig, RefusesWhatItDoesNotKnow) {
  std::string error;
  for (const char* text :
       {"colour = red\n", "type = tape\n", "flash_id = 20 20\n", "fail = sideways\n", "eeprom_busy = often\n",
        "hub = 99999\n", "usb_vendor_id = 0x10000\n", "no equals sign\n", "sense = 5 24 0\n", "unplug_after = -1\n"}) {
    EXPECT_FALSE(ParseDeviceConfig(text, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

TEST(DeviceConfig, FlashSizeFollowsTheCapacityCode) {
  EXPECT_EQ(FlashSizeForCapacityCode(0x14), 1u << 20);
  EXPECT_EQ(FlashSizeForCapacityCode(0x17), 8u << 20);
  EXPECT_EQ(FlashSizeForCapacityCode(0x00), 4096u);
  EXPECT_EQ(FlashSizeForCapacityCode(0xFF), 64u << 20);
}

}  // namespace
}  // namespace velkin::emu
