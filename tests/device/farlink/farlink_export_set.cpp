// The FLNK_ exports as the command-block table (command_blocks_test.cpp) sees them.
#include <velkin/farlink.h>

#include "tests/device/common/command_blocks.h"

namespace velkin::test {
namespace {

constexpr const char* kSetVendor = "QUAMIRA";
constexpr const char* kSetProduct = "VOXA CDROM";

}  // namespace

// The shared table of command blocks (command_blocks_test.cpp) on these exports.
const ExportSet& TheExportSet() {
  static const ExportSet set{
      .name = "Farlink",
      .usable = [] { return true; },
      .open = [] { return FLNK_OpenDevice(kSetVendor, kSetProduct) == 1; },
      .close = [] { FLNK_CloseDevice(); },
      .erase_memory = FLNK_EraseMemory,
      .read_memory = FLNK_ReadMemory,
      .write_memory = FLNK_WriteMemory,
      .write_data = FLNK_WriteData,
      .read_data = FLNK_ReadData,
      .read_flash_info = FLNK_ReadSpiFlashInfo,
      .write_eeprom_1 = FLNK_WriteEEPROM_1Byte,
      .read_eeprom_1 = FLNK_ReadEEPROM_1Byte,
      .write_eeprom_16 = FLNK_WriteEEPROM_16Byte,
      .read_eeprom_16 = FLNK_ReadEEPROM_16Byte,
      .set_io_port = FLNK_SetIOPort,
  };
  return set;
}

}  // namespace velkin::test
