// The device's vendor command set: the 16-byte command blocks, the 64-byte request blocks and
// the conversations built from them (flash identity, I/O port, EEPROM with busy polling).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>

#include "mass_storage_device.h"
#include "vendor_command_set.h"

namespace velkin::qm {

// Command blocks. Bytes 14 and 15 always hold "QM"; byte counts are cut to 16 bits.
CommandBytes MemoryEraseCommand(std::uint32_t address, std::uint32_t size_code);
CommandBytes MemoryReadCommand(std::uint32_t address, std::uint32_t count);
CommandBytes MemoryWriteCommand(std::uint32_t address, std::uint32_t count);
CommandBytes DataOutCommand();
CommandBytes DataInCommand();

using RequestBuffer = std::array<std::uint8_t, kRequestBufferSize>;

RequestBuffer FlashIdentityRequest();
RequestBuffer IoPortRequest(std::int32_t flag);
RequestBuffer EepromReadRequest(bool sixteen_bytes, std::uint8_t address);
RequestBuffer EepromWrite1Request(std::uint8_t address, std::uint8_t value);
RequestBuffer EepromWrite16Request(std::uint8_t address, const std::uint8_t* bytes);
RequestBuffer BulkEraseRequest(bool end_poll);

// The EEPROM busy polling gives up after this many busy replies (about three seconds at 10 ms a
// poll): a unit that never finishes would otherwise keep its caller waiting for ever.
inline constexpr int kEepromBusyPollLimit = 300;
inline constexpr auto kBusyPollPause = std::chrono::milliseconds(10);

// Vendor commands on one device object. The caller holds the device's exchange lock for the
// whole conversation. `pause` waits between busy polls (10 ms).
class VendorCommands {
 public:
  VendorCommands(I_QMMassStorageDevice& device, std::function<void()> pause)
      : device_(device), pause_(std::move(pause)) {}

  // Single commands; each returns a result code of the library.
  std::int32_t EraseMemory(std::uint32_t address, std::uint32_t size_code);
  std::int32_t ReadMemory(std::uint32_t address, std::uint8_t* buffer, std::uint32_t count);
  std::int32_t WriteMemory(std::uint32_t address, const std::uint8_t* buffer, std::uint32_t count);
  std::int32_t WriteData(const std::uint8_t* buffer, std::uint32_t count);
  std::int32_t ReadData(std::uint8_t* buffer, std::uint32_t count);

  // Conversations; true on success. Outputs are written only on success.
  bool ReadFlashIdentity(std::uint8_t* manufacturer, std::uint8_t* memory_type, std::uint8_t* capacity);
  bool SetIoPort(std::int32_t flag);
  bool ReadEeprom1(std::uint8_t address, std::uint8_t* value);
  bool ReadEeprom16(std::uint8_t address, std::uint8_t* bytes);
  bool WriteEeprom1(std::uint8_t address, std::uint8_t value);
  bool WriteEeprom16(std::uint8_t address, const std::uint8_t* bytes);
  // Whole-chip erase: the start request, and the poll for its end (no busy polling inside
  // either; true when reply byte 13 carries the mark).
  bool BulkErase();
  bool IsBulkEraseEnd();

 private:
  std::int32_t Send(const CommandBytes& cdb, const std::uint8_t* data, std::uint32_t length);
  std::int32_t Receive(const CommandBytes& cdb, std::uint8_t* data, std::uint32_t length);
  // Sends the request, then reads replies while the unit is busy; true when the final reply
  // carries the success mark. The final reply is left in `buffer`.
  bool EepromConversation(RequestBuffer& buffer);
  bool BulkEraseConversation(bool end_poll);

  I_QMMassStorageDevice& device_;
  std::function<void()> pause_;
};

}  // namespace velkin::qm
