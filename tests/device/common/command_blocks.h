// The device operations that Farlink (FLNK_) and Quorvane (QRVN_) both offer, seen as one set so
// that a single table of command blocks and replies (command_blocks_test.cpp) runs against each
// built library, on virtual devices and on the Linux test bed. A test program links the table and
// defines TheExportSet() for its library and MakeTestUnit() for the unit it talks to.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/virtual_devices.h"

namespace velkin::test {

using Bytes = std::vector<std::uint8_t>;

// The exports, wrapped so that the table does not depend on either library's names.
struct ExportSet {
  // Names the library in the test names (both programs' tests run in one ctest list).
  const char* name;
  // False when the library cannot be set up again in this process (the test is then skipped).
  std::function<bool()> usable;
  // Finds and opens the virtual unit (the only device there is); true when it is open.
  std::function<bool()> open;
  std::function<void()> close;

  std::function<std::int32_t(std::uint32_t address, std::uint32_t size_code)> erase_memory;
  std::function<std::int32_t(std::uint32_t address, std::uint8_t* buffer, std::uint32_t count)> read_memory;
  std::function<std::int32_t(std::uint32_t address, const std::uint8_t* buffer, std::uint32_t count)> write_memory;
  std::function<std::int32_t(const std::uint8_t* buffer, std::uint32_t count)> write_data;
  std::function<std::int32_t(std::uint8_t* buffer, std::uint32_t count)> read_data;
  std::function<std::int32_t(std::uint8_t* manufacturer, std::uint8_t* type, std::uint8_t* capacity)> read_flash_info;
  std::function<std::int32_t(std::uint32_t address, std::uint32_t data)> write_eeprom_1;
  std::function<std::int32_t(std::uint32_t address, std::uint8_t* data)> read_eeprom_1;
  std::function<std::int32_t(std::uint32_t address, const std::uint8_t* data)> write_eeprom_16;
  std::function<std::int32_t(std::uint32_t address, std::uint8_t* data)> read_eeprom_16;
  std::function<std::int32_t(std::int32_t flag)> set_io_port;
};

// Defined by each test program: the library it tests.
const ExportSet& TheExportSet();

// What a table case may ask of the unit.
struct UnitSetup {
  std::array<std::uint8_t, 3> flash_id{0x20, 0x20, 0x14};
  int eeprom_busy = 0;  // busy replies before each EEPROM answer
};

// The one unit the exports find, as the table sees it: its memories, and the commands it
// received in the trace line format of VirtualDevices::Trace.
class TestUnit {
 public:
  virtual ~TestUnit() = default;
  virtual Bytes Flash(std::size_t offset, std::size_t count) = 0;
  virtual void FillFlash(std::size_t offset, const Bytes& bytes) = 0;
  virtual Bytes Eeprom(std::size_t offset, std::size_t count) = 0;
  virtual void FillEeprom(std::size_t offset, const Bytes& bytes) = 0;
  // The commands received since the last call.
  virtual std::vector<std::string> NewTrace() = 0;
};

// Defined by each test program: a plugged unit set up as asked (failures are reported to the
// running test). A virtual device (virtual_test_unit.cpp) or the test bed's unit.
std::unique_ptr<TestUnit> MakeTestUnit(const UnitSetup& setup);

// Trace lines (see VirtualDevices::Trace) of the vendor request and reply commands.
inline const std::string kDataOutCdb = "e0" + std::string(26, '0') + "514d";
inline const std::string kDataInCdb = "d0" + std::string(26, '0') + "514d";
inline const std::string kReplyIn = "in " + kDataInCdb + " 64";

// A 64-byte request block with the given head and zeros after, as hex.
inline std::string Request(const Bytes& head) {
  Bytes block(64, 0);
  std::copy(head.begin(), head.end(), block.begin());
  return HexBytes(block);
}
// The trace line of that request block sent with the data-out command.
inline std::string RequestOut(const Bytes& head) {
  return "out " + kDataOutCdb + " 64 " + Request(head);
}

}  // namespace velkin::test
