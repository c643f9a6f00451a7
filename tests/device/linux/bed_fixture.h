// Base fixture of the test bed suites: a fresh bed per test, product code on the platform
// backend (VELKIN_EMULATOR unset), and a hard failure when the process is not under umockdev.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "sg_handler.h"
#include "testbed.h"
#include "tests/support/scoped_env.h"

namespace velkin::test::linux_bed {

// A vendor command block: the given leading bytes, zeros, and "QM" in bytes 14 and 15.
inline Bytes Cdb(std::initializer_list<std::uint8_t> head) {
  Bytes cdb(16, 0);
  std::copy(head.begin(), head.end(), cdb.begin());
  cdb[14] = 'Q';
  cdb[15] = 'M';
  return cdb;
}

// A 64-byte request block: the given bytes at the given offsets, zeros elsewhere.
inline Bytes Request(std::initializer_list<std::pair<std::size_t, std::uint8_t>> bytes) {
  Bytes block(64, 0);
  for (const auto& [at, value] : bytes) block[at] = value;
  return block;
}

class BedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bed_ = std::make_unique<Testbed>();
    // Asked only once the bed exists: before, the answer is not reliable.
    ASSERT_TRUE(umockdev_in_mock_environment())
        << "not running under umockdev: start the test with LD_PRELOAD=libumockdev-preload.so.0 "
           "(or through umockdev-wrapper)";
    UnsetEnv("VELKIN_EMULATOR");
  }

  // Product objects and threads go before the bed (its destructor ends the mocked /sys).
  void TearDown() override { bed_.reset(); }

  Testbed& bed() { return *bed_; }

 private:
  std::unique_ptr<Testbed> bed_;
};

// The unrelated USB disk of the bed's machines: its USB identifiers and what its SCSI device says.
inline const UsbIdentity kOtherDiskUsb{0x0BDA, 0x0129, 3};
inline const ScsiIdentity kOtherDiskScsi{"GENERIC ", "USB DISK        ", "2.00", 0};

// The machine of the device libraries' suites: the root hub of bus 1 with the unrelated USB disk at
// "1-1", whose handler shows that it never sees a command, and the unit, plugged where a test wants
// it with its handler answering.
class UnitBedTest : public BedTest {
 protected:
  void SetUp() override {
    BedTest::SetUp();
    if (HasFatalFailure()) return;
    root_ = bed().AddRootHub(1);
    other_ = bed().PlugUsbUnit(root_, "1-1", kOtherDiskUsb, kOtherDiskScsi, 1);
    bed().AttachIoctl(other_.devnode, other_handler_.object());
  }

  // The unit on `hub` at `sysname`, a new device number each time (as a replug gets).
  void PlugUnitAt(const std::string& hub, const std::string& sysname) {
    unit_ = bed().PlugUsbUnit(hub, sysname, {0xC0FE, 0x0A51, next_devnum_++}, {}, 0);
    bed().AttachIoctl(unit_.devnode, handler_.object());
  }

  // The unit's flash identity differs from the default, so that tests see it was really asked.
  static emu::Identity UnitIdentity() {
    emu::Identity identity;
    identity.flash_id = {0xEF, 0x40, 0x16};
    return identity;
  }

  std::string root_;
  Unit unit_;
  Unit other_;
  int next_devnum_ = 5;
  SgFirmwareHandler handler_{UnitIdentity()};
  SgFirmwareHandler other_handler_{{"GENERIC", "USB DISK", "2.00", emu::UnitType::kDisk, {0, 0, 0}}};
};

}  // namespace velkin::test::linux_bed
