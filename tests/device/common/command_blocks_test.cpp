// One table of operations, their command blocks on the wire and the replies, run against each
// export set (see command_blocks.h). The expected blocks are written out byte by byte as the
// command set defines them; the virtual unit's trace.log shows what really reached it.
#include "command_blocks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>

namespace velkin::test {
namespace {

const Bytes kRecord{0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE, 0, 1, 2, 3, 4, 5, 6, 7};

struct CommandCase {
  std::string name;
  // Calls the exports and checks their results, replies and the unit's memories.
  std::function<void(const ExportSet&, TestUnit&)> run;
  // Every command the unit receives meanwhile, in order.
  std::vector<std::string> trace;
  // Changes to the unit's set-up (settings, flash identity), if any.
  std::function<void(UnitSetup&)> device = nullptr;
};

std::ostream& operator<<(std::ostream& out, const CommandCase& c) {
  return out << c.name;
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t count) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

const CommandCase kCases[] = {
    // Flash memory: opcode, address (4 bytes, big-endian), 06, then size code or count.
    {"EraseSendsTheLowByteOfTheSizeCode",
     [](const ExportSet& x, TestUnit&) { EXPECT_EQ(x.erase_memory(0x00012345, 0x1208), 1); },
     {"none fd20000123450600080000000000514d 0"}},
    {"EraseOfABlock",
     [](const ExportSet& x, TestUnit&) { EXPECT_EQ(x.erase_memory(0x10000, 128), 1); },
     {"none fd20000100000600800000000000514d 0"}},
    {"WriteMemory",
     [](const ExportSet& x, TestUnit& unit) {
       const Bytes data(4096, 0xA5);
       EXPECT_EQ(x.write_memory(0x00012345, data.data(), 4096), 1);
       EXPECT_EQ(unit.Flash(0x12345, 4096), data);
     },
     {"out fd2a000123450610000000000000514d 4096"}},
    {"WriteMemoryCutsTheCountTo16Bits",
     [](const ExportSet& x, TestUnit& unit) {
       const Bytes data{1, 2, 3, 4};
       EXPECT_EQ(x.write_memory(0x00012345, data.data(), 0x10004), 1);
       EXPECT_EQ(unit.Flash(0x12344, 6), (Bytes{0xFF, 1, 2, 3, 4, 0xFF}));
     },
     {"out fd2a000123450600040000000000514d 4 01020304"}},
    {"ReadMemory",
     [](const ExportSet& x, TestUnit& unit) {
       Bytes data(4096);
       for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 1);
       unit.FillFlash(0x12345, data);
       Bytes back(4096, 0);
       EXPECT_EQ(x.read_memory(0x00012345, back.data(), 4096), 1);
       EXPECT_EQ(back, data);
     },
     {"in fd28000123450610000000000000514d 4096"}},
    {"ReadMemoryCutsTheCountTo16Bits",
     [](const ExportSet& x, TestUnit&) {
       Bytes buffer(0x12345, 0xEE);
       EXPECT_EQ(x.read_memory(0, buffer.data(), 0x12345), 1);
       EXPECT_EQ(buffer[0x2344], 0xFF);  // erased flash
       EXPECT_EQ(buffer[0x2345], 0xEE);  // nothing past the cut count
     },
     {"in fd28000000000623450000000000514d 9029"}},

    // Vendor requests: a 64-byte request block out, for most a 64-byte reply block in.
    {"FlashIdentity",
     [](const ExportSet& x, TestUnit&) {
       std::uint8_t m = 0, t = 0, c = 0;
       ASSERT_EQ(x.read_flash_info(&m, &t, &c), 1);
       EXPECT_EQ((Bytes{m, t, c}), (Bytes{0xEF, 0x40, 0x15}));
     },
     {RequestOut({0x00, 0x20}), kReplyIn},
     [](UnitSetup& setup) {
       setup.flash_id = {0xEF, 0x40, 0x15};
     }},
    {"IoPortRequestInvertsTheFlagAndReadsNoReply",
     [](const ExportSet& x, TestUnit&) {
       EXPECT_EQ(x.set_io_port(1), 1);
       EXPECT_EQ(x.set_io_port(0), 1);
       EXPECT_EQ(x.set_io_port(-7), 1);
     },
     {RequestOut({0, 0x06, 0, 0}), RequestOut({0, 0x06, 0, 1}), RequestOut({0, 0x06, 0, 0})}},
    {"EepromWriteOneByteSendsTheLowBytesOfAddressAndData",
     [](const ExportSet& x, TestUnit& unit) {
       const Bytes before = unit.Eeprom(4, 3);
       EXPECT_EQ(x.write_eeprom_1(0x105, 0x1234), 1);
       EXPECT_EQ(unit.Eeprom(4, 3), (Bytes{before[0], 0x34, before[2]}));
     },
     {RequestOut({0, 0x0D, 0, 1, 0, 0xA0, 0x05, 0x34}), kReplyIn}},
    {"EepromReadOneByte",
     [](const ExportSet& x, TestUnit& unit) {
       unit.FillEeprom(5, Bytes{0x34});
       std::uint8_t one = 0;
       EXPECT_EQ(x.read_eeprom_1(0x105, &one), 1);
       EXPECT_EQ(one, 0x34);
     },
     {RequestOut({0, 0x0D, 0, 1, 0, 0xA1, 0x05}), kReplyIn}},
    {"EepromWriteSixteenBytes",
     [](const ExportSet& x, TestUnit& unit) {
       EXPECT_EQ(x.write_eeprom_16(16, kRecord.data()), 1);
       EXPECT_EQ(unit.Eeprom(16, 16), kRecord);
     },
     {"out " + kDataOutCdb + " 64 " + Request([] {
        Bytes block{0, 0x0F, 0, 1, 0, 0xA0, 0x10};
        block.resize(16, 0);
        block.insert(block.end(), kRecord.begin(), kRecord.end());
        return block;
      }()),
      kReplyIn}},
    {"EepromReadSixteenBytes",
     [](const ExportSet& x, TestUnit& unit) {
       unit.FillEeprom(16, kRecord);
       Bytes back(16, 0);
       EXPECT_EQ(x.read_eeprom_16(16, back.data()), 1);
       EXPECT_EQ(back, kRecord);
     },
     {RequestOut({0, 0x0F, 0, 1, 0, 0xA1, 0x10}), kReplyIn}},
    {"EepromBusyRepliesAreReadAgainUntilTheEnd",
     [](const ExportSet& x, TestUnit& unit) {
       unit.FillEeprom(5, Bytes{0x42});
       std::uint8_t one = 0;
       EXPECT_EQ(x.read_eeprom_1(5, &one), 1);
       EXPECT_EQ(one, 0x42);
     },
     {RequestOut({0, 0x0D, 0, 1, 0, 0xA1, 0x05}), kReplyIn, kReplyIn, kReplyIn},
     [](UnitSetup& setup) { setup.eeprom_busy = 2; }},

    // A host that passes no buffer where bytes would move gets FALSE, not a crash in the library.
    {"MissingBuffersAreRefusedWithoutTraffic",
     [](const ExportSet& x, TestUnit& unit) {
       std::uint8_t byte = 0;
       EXPECT_EQ(x.read_memory(0, nullptr, 16), 0);
       EXPECT_EQ(x.write_memory(0, nullptr, 16), 0);
       EXPECT_EQ(x.write_data(nullptr, 64), 0);
       EXPECT_EQ(x.read_data(nullptr, 64), 0);
       EXPECT_EQ(x.read_flash_info(&byte, nullptr, &byte), 0);
       EXPECT_EQ(x.read_eeprom_1(0, nullptr), 0);
       EXPECT_EQ(x.read_eeprom_16(0, nullptr), 0);
       EXPECT_EQ(x.write_eeprom_16(0, nullptr), 0);
       EXPECT_TRUE(unit.NewTrace().empty());
       // A count whose low 16 bits are 0 moves no data, so no buffer is needed.
       EXPECT_EQ(x.read_memory(0, nullptr, 0x10000), 1);
     },
     {"none fd28000000000600000000000000514d 0"}},

    // The raw request and reply: the buffer travels unchanged, counts cut to 16 bits.
    {"HandMadeRequestAndItsReply",
     [](const ExportSet& x, TestUnit& unit) {
       unit.FillEeprom(16, kRecord);
       Bytes request(64, 0);
       request[1] = 0x0F;
       request[3] = 1;
       request[5] = 0xA1;
       request[6] = 16;
       ASSERT_EQ(x.write_data(request.data(), 64), 1);
       Bytes reply(64, 0xEE);
       ASSERT_EQ(x.read_data(reply.data(), 64), 1);
       EXPECT_EQ(reply[8], 0x5A);
       EXPECT_EQ(Slice(reply, 16, 16), kRecord);
     },
     {RequestOut({0, 0x0F, 0, 1, 0, 0xA1, 0x10}), kReplyIn}},
    {"RequestAndReplyCountsAreCutTo16Bits",
     [](const ExportSet& x, TestUnit&) {
       Bytes request(0x10040, 0);
       request[1] = 0x20;
       ASSERT_EQ(x.write_data(request.data(), 0x10040), 1);
       Bytes reply(0x10040, 0x77);
       ASSERT_EQ(x.read_data(reply.data(), 0x10040), 1);
       EXPECT_EQ(Slice(reply, 13, 3), (Bytes{0x20, 0x20, 0x14}));
       EXPECT_EQ(reply[64], 0x77);  // nothing beyond the 64 bytes
     },
     {RequestOut({0, 0x20}), kReplyIn}},
};

class CommandBlocks : public ::testing::TestWithParam<CommandCase> {
 protected:
  void SetUp() override {
    if (!set_.usable()) GTEST_SKIP() << "needs a process of its own (ctest gives each test one)";
    UnitSetup setup;
    if (GetParam().device) GetParam().device(setup);
    unit_ = MakeTestUnit(setup);
    if (HasFailure()) return;
    ASSERT_TRUE(set_.open());
    unit_->NewTrace();
  }
  // The library lets go of the unit before the unit goes.
  void TearDown() override {
    if (set_.close) set_.close();
    unit_.reset();
  }

  const ExportSet& set_ = TheExportSet();
  std::unique_ptr<TestUnit> unit_;
};

TEST_P(CommandBlocks, ReachTheUnitAsDefined) {
  GetParam().run(set_, *unit_);
  EXPECT_EQ(unit_->NewTrace(), GetParam().trace);
}

INSTANTIATE_TEST_SUITE_P(Table, CommandBlocks, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(TheExportSet().name) + "_" + info.param.name; });

}  // namespace
}  // namespace velkin::test
