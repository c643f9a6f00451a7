// The device operations that Farlink (FLNK_) and Quorvane (QRVN_) both offer, seen as one set so
// that a single table of command blocks and replies (command_blocks_test.cpp) runs against each
// built library. A test program links the table and defines TheExportSet() for its library.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "virtual_devices.h"

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
