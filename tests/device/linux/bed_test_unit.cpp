// The command-block table's unit on the test bed: the product code finds it through libudev and
// drives it through SG_IO on its sg node, where the firmware model answers. Each call is turned
// into a trace line as a virtual device writes it, after the header fields every command must
// carry have been checked.
#include <gtest/gtest.h>
#include <scsi/sg.h>

#include <memory>

#include "bed_fixture.h"
#include "tests/device/common/command_blocks.h"

namespace velkin::test {
namespace {

using linux_bed::SgCall;
using linux_bed::SgFirmwareHandler;
using linux_bed::Testbed;

class BedTestUnit : public TestUnit {
 public:
  explicit BedTestUnit(const UnitSetup& setup) : handler_(IdentityWith(setup.flash_id)) {
    if (!umockdev_in_mock_environment()) {
      ADD_FAILURE() << "not running under umockdev: start the test with LD_PRELOAD=libumockdev-preload.so.0";
      return;
    }
    UnsetEnv("VELKIN_EMULATOR");
    const std::string root = bed_.AddRootHub(1);
    const auto unit = bed_.PlugUsbUnit(root, "1-3", {}, {}, 0);
    bed_.AttachIoctl(unit.devnode, handler_.object());
    if (setup.eeprom_busy > 0) {
      emu::Faults faults;
      faults.eeprom_busy = setup.eeprom_busy;
      handler_.SetFaults(faults);
    }
  }

  Bytes Flash(std::size_t offset, std::size_t count) override { return handler_.Flash(offset, count); }
  void FillFlash(std::size_t offset, const Bytes& bytes) override { handler_.FillFlash(offset, bytes); }
  Bytes Eeprom(std::size_t offset, std::size_t count) override { return handler_.Eeprom(offset, count); }
  void FillEeprom(std::size_t offset, const Bytes& bytes) override { handler_.FillEeprom(offset, bytes); }

  std::vector<std::string> NewTrace() override {
    std::vector<std::string> lines;
    for (const SgCall& call : handler_.TakeCalls()) {
      EXPECT_EQ(call.interface_id, 'S');
      EXPECT_EQ(call.timeout_ms, 10000u) << "10 s";
      EXPECT_GE(call.mx_sb_len, 18u) << "room for fixed-format sense";
      EXPECT_EQ(call.direction == SG_DXFER_NONE, call.dxfer_len == 0);
      std::string line = call.direction == SG_DXFER_NONE ? "none" : call.direction == SG_DXFER_TO_DEV ? "out" : "in";
      // Appended piece by piece: GCC 12 at -O2 warns (-Wrestrict, falsely) on " " + std::string.
      line.append(" ").append(HexBytes(call.cdb)).append(" ").append(std::to_string(call.dxfer_len));
      if (call.direction == SG_DXFER_TO_DEV && call.dxfer_len <= 64) line.append(" ").append(HexBytes(call.data_out));
      lines.push_back(line);
    }
    return lines;
  }

 private:
  static emu::Identity IdentityWith(const std::array<std::uint8_t, 3>& flash_id) {
    emu::Identity identity;
    identity.flash_id = flash_id;
    return identity;
  }

  // The bed goes first: it ends the mocked node before its handler.
  SgFirmwareHandler handler_;
  Testbed bed_;
};

}  // namespace

std::unique_ptr<TestUnit> MakeTestUnit(const UnitSetup& setup) {
  return std::make_unique<BedTestUnit>(setup);
}

}  // namespace velkin::test
