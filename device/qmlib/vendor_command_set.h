// The vendor command set's bytes: the 16-byte command blocks and the 64-byte request and reply blocks
// that travel in their data phases. Everything in the device class library that builds or reads these
// blocks takes its opcodes and byte positions from here. (The firmware model keeps its own copy of the
// values on purpose: the tests check both against the raw bytes, so one wrong value cannot hide
// behind a shared definition.)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace velkin::qm {

// ---- Command blocks: bytes not named are 0; bytes 14 and 15 hold "QM". ----
using CommandBytes = std::array<std::uint8_t, 16>;
inline constexpr std::size_t kCommandOpAt = 0;         // kMemoryCommand, kDataOut or kDataIn
inline constexpr std::size_t kCommandSubOpAt = 1;      // memory commands: kEraseOp, kReadOp, kWriteOp
inline constexpr std::size_t kCommandAddressAt = 2;    // memory commands: flash address, 4 bytes, big end first
inline constexpr std::size_t kCommandConstantAt = 6;   // memory commands: kMemoryConstant
inline constexpr std::size_t kCommandCountAt = 7;      // read and write: 16-bit byte count, big end first
inline constexpr std::size_t kCommandEraseSizeAt = 8;  // erase: the erase size code
inline constexpr std::size_t kCommandSignatureAt = 14;
inline constexpr std::array<std::uint8_t, 2> kCommandSignature = {'Q', 'M'};

inline constexpr std::uint8_t kMemoryCommand = 0xFD;
inline constexpr std::uint8_t kEraseOp = 0x20;
inline constexpr std::uint8_t kReadOp = 0x28;
inline constexpr std::uint8_t kWriteOp = 0x2A;
inline constexpr std::uint8_t kMemoryConstant = 0x06;
inline constexpr std::uint8_t kDataOut = 0xE0;
inline constexpr std::uint8_t kDataIn = 0xD0;

// A command block with nothing but the signature.
constexpr CommandBytes SignedCommand() {
  CommandBytes cdb{};
  cdb[kCommandSignatureAt] = kCommandSignature[0];
  cdb[kCommandSignatureAt + 1] = kCommandSignature[1];
  return cdb;
}

// ---- Request blocks: prepared in a zeroed 100-byte buffer of which 64 bytes travel. ----
inline constexpr std::size_t kRequestBufferSize = 100;
inline constexpr std::size_t kBlockSize = 64;
inline constexpr std::size_t kRequestOpAt = 1;
inline constexpr std::size_t kRequestFlagAt = 3;       // I/O port: 1 for flag 0; EEPROM: always 1
inline constexpr std::size_t kRequestDirectionAt = 5;  // EEPROM: kEepromRead or kEepromWrite
inline constexpr std::size_t kRequestAddressAt = 6;    // EEPROM address
inline constexpr std::size_t kRequestValueAt = 7;      // one-byte EEPROM write: the data byte
inline constexpr std::size_t kRequestDataAt = 16;      // 16-byte EEPROM write: the data bytes
inline constexpr std::size_t kEepromDataSize = 16;

inline constexpr std::uint8_t kFlashIdentityOp = 0x20;
inline constexpr std::uint8_t kIoPortOp = 0x06;
inline constexpr std::uint8_t kEeprom1Op = 0x0D;
inline constexpr std::uint8_t kEeprom16Op = 0x0F;
inline constexpr std::uint8_t kEepromRead = 0xA1;
inline constexpr std::uint8_t kEepromWrite = 0xA0;
inline constexpr std::uint8_t kBulkEraseOp = 0x21;
inline constexpr std::uint8_t kBulkEraseEndOp = 0x22;

// ---- Flash geometry, as the programs that fill the flash use it. ----
// The image goes to the flash in blocks of this size, one memory-write command each.
inline constexpr std::uint32_t kFlashWriteBlockSize = 4096;
// Erasing walks the flash in 64 KiB sectors; a step below that erases 4 KiB sectors. The erase
// size code counts 512-byte units: 128 for a 64 KiB sector, 8 for a 4 KiB one.
inline constexpr std::uint32_t kFlashSectorSize = 0x10000;
inline constexpr std::uint32_t kFlashSmallSectorSize = 0x1000;
inline constexpr std::uint32_t kSectorEraseCode = 128;
inline constexpr std::uint32_t kSmallSectorEraseCode = 8;
// The flash identity's capacity code gives the chip's size as a power of two; codes outside
// this range (64 KiB to 128 MiB) name no chip the unit is built with.
inline constexpr std::uint8_t kSmallestCapacityCode = 16;
inline constexpr std::uint8_t kLargestCapacityCode = 27;
constexpr std::uint32_t FlashSizeOfCapacity(std::uint8_t code) {
  return code >= kSmallestCapacityCode && code <= kLargestCapacityCode ? std::uint32_t{1} << code : 0;
}

// ---- EEPROM records: 16 bytes each. ----
inline constexpr std::uint8_t kEepromProductAddress = 0;  // the product record, only read
inline constexpr std::uint8_t kEepromRecordAddress = 16;  // the record programs write

// ---- Reply blocks. ----
inline constexpr std::uint8_t kBusyMark = 0x5A;  // 'Z': busy in kReplyBusyAt, success in kReplyStatusAt
inline constexpr std::size_t kReplyBusyAt = 0;
inline constexpr std::size_t kReplyEchoAt = 1;       // flash identity: echoes kFlashIdentityOp
inline constexpr std::size_t kReplyStatusAt = 8;     // EEPROM: kBusyMark for success
inline constexpr std::size_t kReplyValueAt = 9;      // one-byte EEPROM read: the byte
inline constexpr std::size_t kReplyIdentityAt = 13;  // flash identity: manufacturer, memory type, capacity
inline constexpr std::size_t kReplyEraseEndAt = 13;  // whole-chip erase: kBusyMark when accepted or done
inline constexpr std::size_t kReplyDataAt = 16;      // 16-byte EEPROM read: the bytes

}  // namespace velkin::qm
