// The QRVN_ exports as the command-block table (command_blocks_test.cpp) sees them, set up by
// the stand-in host program of the platform.
#include <velkin/quorvane.h>

#include "test_host.h"
#include "tests/device/common/command_blocks.h"

namespace velkin::test {
namespace {

constexpr std::uint32_t kSetMessage = 0x8000 + 0x42;  // in the WM_APP range, as a host would pick

}  // namespace

// The shared table of command blocks (command_blocks_test.cpp) on these exports, the unit opened
// by the set-up as a host does it.
const ExportSet& TheExportSet() {
  static const ExportSet set{
      .name = "Quorvane",
      .usable = [] { return !TestHost::Initialised(); },
      .open = [] { return TestHost::Init(kSetMessage) == 1 && QRVN_GetDeviceStatus() == 1; },
      .close = nullptr,
      .erase_memory = QRVN_SingleEraseMemory,
      .read_memory = QRVN_ReadMemory,
      .write_memory = QRVN_WriteMemory,
      .write_data = QRVN_WriteData,
      .read_data = QRVN_ReadData,
      .read_flash_info = QRVN_ReadSpiFlashInfo,
      .write_eeprom_1 = QRVN_WriteEEPROM_1,
      .read_eeprom_1 = QRVN_ReadEEPROM_1,
      .write_eeprom_16 = QRVN_WriteEEPROM_16,
      .read_eeprom_16 = QRVN_ReadEEPROM_16,
      .set_io_port = QRVN_SetIOPort,
  };
  return set;
}

}  // namespace velkin::test
