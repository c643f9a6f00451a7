// velkin-emu run as a separate program, as a user or a test script runs it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/program_paths.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wav_builder.h"

namespace velkin::test {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

struct Result {
  int status = -1;
  Lines out;
};

class VelkinEmu : public ::testing::Test {
 protected:
  Result Run(std::vector<std::string> args, const Environment& env = {}) {
    if (with_root_) args.insert(args.begin(), {"--root", dir_.path().string()});
    auto child = ChildProcess::Start(ProgramPath("velkin-emu"), args, env);
    EXPECT_NE(child, nullptr);
    if (!child) return {};
    child->CloseInput();
    Result r;
    r.out = child->ReadAllLines();
    r.status = child->Wait();
    return r;
  }
  std::string Conf(const std::string& folder) {
    std::ifstream in(dir_.path() / folder / "device.conf");
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  TempDir dir_;
  bool with_root_ = true;
};

TEST_F(VelkinEmu, CreateMakesAPluggedInDeviceWithTheDefaults) {
  ASSERT_EQ(Run({"create", "dev1"}).status, 0);
  const fs::path folder = dir_.path() / "dev1";
  EXPECT_EQ(fs::file_size(folder / "flash.bin"), 1u << 20);  // capacity code 0x14
  EXPECT_EQ(ReadFileBytes((folder / "flash.bin").string()), ByteVector(1u << 20, 0xFF));
  EXPECT_EQ(ReadFileBytes((folder / "eeprom.bin").string()), ByteVector(256, 0x00));
  const std::string conf = Conf("dev1");
  for (const char* line : {"vendor = QUAMIRA\n", "product = VOXA CDROM\n", "type = cdrom\n", "flash_id = 20 20 14\n"}) {
    EXPECT_NE(conf.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(Run({"list"}).out,
            Lines{"dev1 plugged cdrom \"QUAMIRA\" \"VOXA CDROM\" \"1.00\" flash_id 20 20 14 flash 1048576 bytes"});
  // No half-made folders are left behind, and names are unique.
  EXPECT_NE(Run({"create", "dev1"}).status, 0);
  EXPECT_NE(Run({"create", "bad/name"}).status, 0);
  EXPECT_NE(Run({"create", "abcdefghijklmnopq"}).status, 0);
}

TEST_F(VelkinEmu, CreateWithOptions) {
  ASSERT_EQ(Run({"create", "d", "--type", "disk", "--vendor", "ACME", "--product", "BOX", "--flash-id", "ef 40 15",
                 "--usb-vendor-id", "0x1234", "--hub", "2", "--port", "4", "--trace", "--unplugged"})
                .status,
            0);
  EXPECT_FALSE(fs::exists(dir_.path() / "d"));
  EXPECT_EQ(fs::file_size(dir_.path() / ".unplugged" / "d" / "flash.bin"), 2u << 20);
  EXPECT_EQ(Run({"list"}).out,
            Lines{"d unplugged disk \"ACME\" \"BOX\" \"1.00\" flash_id ef 40 15 flash 2097152 bytes"});
  ASSERT_EQ(Run({"create", "small", "--flash-size", "8192"}).status, 0);
  EXPECT_EQ(fs::file_size(dir_.path() / "small" / "flash.bin"), 8192u);
  EXPECT_EQ(Run({"create", "x", "--type", "tape"}).status, 1);
  EXPECT_EQ(Run({"create", "x", "--vendor", "NINECHARS"}).status, 1);
  EXPECT_EQ(Run({"create", "x", "--colour", "red"}).status, 2);
  EXPECT_FALSE(fs::exists(dir_.path() / "x"));
}

TEST_F(VelkinEmu, PlugAndUnplugMoveTheFolder) {
  ASSERT_EQ(Run({"create", "dev"}).status, 0);
  ASSERT_EQ(Run({"unplug", "dev"}).status, 0);
  EXPECT_FALSE(fs::exists(dir_.path() / "dev"));
  EXPECT_TRUE(fs::exists(dir_.path() / ".unplugged" / "dev" / "device.conf"));
  EXPECT_EQ(Run({"unplug", "dev"}).status, 0);  // already out
  ASSERT_EQ(Run({"plug", "dev"}).status, 0);
  EXPECT_TRUE(fs::exists(dir_.path() / "dev" / "device.conf"));
  EXPECT_EQ(Run({"plug", "nosuch"}).status, 1);
  ASSERT_EQ(Run({"remove", "dev"}).status, 0);
  EXPECT_FALSE(fs::exists(dir_.path() / "dev"));
  EXPECT_TRUE(Run({"list"}).out.empty());
}

TEST_F(VelkinEmu, FaultsAreSetListedAndCleared) {
  ASSERT_EQ(Run({"create", "dev"}).status, 0);
  ASSERT_EQ(Run({"fault", "dev", "eeprom_busy=3", "check=erase:1", "sense=05 24 00", "unplug_after=9"}).status, 0);
  const Lines listed = Run({"list"}).out;
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_NE(listed[0].find(" check=erase:1 eeprom_busy=3 unplug_after=9"), std::string::npos) << listed[0];
  EXPECT_NE(Conf("dev").find("eeprom_busy = 3\n"), std::string::npos);
  // Later settings replace earlier ones.
  ASSERT_EQ(Run({"fault", "dev", "eeprom_busy=forever"}).status, 0);
  EXPECT_NE(Conf("dev").find("eeprom_busy = forever\n"), std::string::npos);
  EXPECT_EQ(Conf("dev").find("eeprom_busy = 3"), std::string::npos);
  // Bad settings change nothing.
  const std::string before = Conf("dev");
  EXPECT_EQ(Run({"fault", "dev", "eeprom_busy=sometimes"}).status, 1);
  EXPECT_EQ(Run({"fault", "dev", "vendor=OTHER"}).status, 1);  // not a fault
  EXPECT_EQ(Run({"fault", "dev", "nonsense"}).status, 2);
  EXPECT_EQ(Conf("dev"), before);
  // A unit that is listed but refuses to be opened.
  ASSERT_EQ(Run({"fault", "dev", "refuse_open=denied"}).status, 0);
  EXPECT_NE(Conf("dev").find("refuse_open = denied\n"), std::string::npos);
  EXPECT_EQ(Run({"fault", "dev", "refuse_open=maybe"}).status, 1);
  // set changes identity too; --clear removes every fault but keeps the identity.
  ASSERT_EQ(Run({"set", "dev", "product=OTHER BOX"}).status, 0);
  ASSERT_EQ(Run({"fault", "dev", "--clear"}).status, 0);
  EXPECT_EQ(Run({"list"}).out,
            Lines{"dev plugged cdrom \"QUAMIRA\" \"OTHER BOX\" \"1.00\" flash_id 20 20 14 flash 1048576 bytes"});
}

TEST_F(VelkinEmu, DumpAndLoad) {
  ASSERT_EQ(Run({"create", "dev", "--flash-size", "4096"}).status, 0);
  const std::string data = dir_.File("data.bin");
  WriteFileBytes(data, ByteVector{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x10, 0x32, 0x54, 0x76, 0x98, 0xBA,
                                  0xDC, 0xFE, 0x42});
  ASSERT_EQ(Run({"load", "dev", "eeprom", data, "--offset", "16"}).status, 0);
  EXPECT_EQ(Run({"dump", "dev", "eeprom", "--offset", "0x10", "--length", "17"}).out,
            (Lines{"00000010  01 23 45 67 89 ab cd ef 10 32 54 76 98 ba dc fe", "00000020  42"}));
  const std::string out = dir_.File("out.bin");
  ASSERT_EQ(Run({"dump", "dev", "eeprom", "--out", out}).status, 0);
  const ByteVector eeprom = ReadFileBytes(out);
  ASSERT_EQ(eeprom.size(), 256u);
  EXPECT_EQ(eeprom[15], 0x00);
  EXPECT_EQ(eeprom[16], 0x01);
  EXPECT_EQ(eeprom[32], 0x42);
  ASSERT_EQ(Run({"load", "dev", "flash", data}).status, 0);
  EXPECT_EQ(Run({"dump", "dev", "flash", "--offset", "4080"}).out,
            Lines{"00000ff0  ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff"});
  EXPECT_EQ(Run({"dump", "dev", "flash", "--length", "2"}).out, Lines{"00000000  01 23"});
  // Ranges outside the store are refused.
  EXPECT_EQ(Run({"dump", "dev", "flash", "--offset", "4090", "--length", "7"}).status, 1);
  EXPECT_EQ(Run({"load", "dev", "eeprom", data, "--offset", "250"}).status, 1);
  EXPECT_EQ(Run({"dump", "dev", "rom"}).status, 2);
}

TEST_F(VelkinEmu, RootFromTheEnvironment) {
  with_root_ = false;
  EXPECT_EQ(Run({"list"}, {{"VELKIN_EMULATOR", ""}}).status, 2);
  ASSERT_EQ(Run({"create", "envdev"}, {{"VELKIN_EMULATOR", dir_.path().string()}}).status, 0);
  EXPECT_TRUE(fs::exists(dir_.path() / "envdev" / "device.conf"));
  EXPECT_EQ(Run({}).status, 2);
  EXPECT_EQ(Run({"help"}).status, 0);
}

}  // namespace
}  // namespace velkin::test
