#include "vendor_commands.h"

#include <algorithm>

namespace velkin::qm {
namespace {

CommandBytes MemoryCommand(std::uint8_t op, std::uint32_t address) {
  CommandBytes cdb = SignedCommand();
  cdb[kCommandOpAt] = kMemoryCommand;
  cdb[kCommandSubOpAt] = op;
  cdb[kCommandAddressAt] = static_cast<std::uint8_t>(address >> 24);
  cdb[kCommandAddressAt + 1] = static_cast<std::uint8_t>(address >> 16);
  cdb[kCommandAddressAt + 2] = static_cast<std::uint8_t>(address >> 8);
  cdb[kCommandAddressAt + 3] = static_cast<std::uint8_t>(address);
  cdb[kCommandConstantAt] = kMemoryConstant;
  return cdb;
}

CommandBytes MemoryTransferCommand(std::uint8_t op, std::uint32_t address, std::uint32_t count) {
  CommandBytes cdb = MemoryCommand(op, address);
  cdb[kCommandCountAt] = static_cast<std::uint8_t>(count >> 8);
  cdb[kCommandCountAt + 1] = static_cast<std::uint8_t>(count);
  return cdb;
}

std::uint32_t Cut16(std::uint32_t count) {
  return count & 0xFFFF;
}

RequestBuffer EepromRequest(std::uint8_t op, std::uint8_t direction, std::uint8_t address) {
  RequestBuffer request{};
  request[kRequestOpAt] = op;
  request[kRequestFlagAt] = 1;
  request[kRequestDirectionAt] = direction;
  request[kRequestAddressAt] = address;
  return request;
}

}  // namespace

CommandBytes MemoryEraseCommand(std::uint32_t address, std::uint32_t size_code) {
  CommandBytes cdb = MemoryCommand(kEraseOp, address);
  cdb[kCommandEraseSizeAt] = static_cast<std::uint8_t>(size_code);
  return cdb;
}

CommandBytes MemoryReadCommand(std::uint32_t address, std::uint32_t count) {
  return MemoryTransferCommand(kReadOp, address, count);
}

CommandBytes MemoryWriteCommand(std::uint32_t address, std::uint32_t count) {
  return MemoryTransferCommand(kWriteOp, address, count);
}

CommandBytes DataOutCommand() {
  CommandBytes cdb = SignedCommand();
  cdb[kCommandOpAt] = kDataOut;
  return cdb;
}

CommandBytes DataInCommand() {
  CommandBytes cdb = SignedCommand();
  cdb[kCommandOpAt] = kDataIn;
  return cdb;
}

RequestBuffer FlashIdentityRequest() {
  RequestBuffer request{};
  request[kRequestOpAt] = kFlashIdentityOp;
  return request;
}

RequestBuffer IoPortRequest(std::int32_t flag) {
  RequestBuffer request{};
  request[kRequestOpAt] = kIoPortOp;
  request[kRequestFlagAt] = flag == 0 ? 1 : 0;
  return request;
}

RequestBuffer EepromReadRequest(bool sixteen_bytes, std::uint8_t address) {
  return EepromRequest(sixteen_bytes ? kEeprom16Op : kEeprom1Op, kEepromRead, address);
}

RequestBuffer EepromWrite1Request(std::uint8_t address, std::uint8_t value) {
  RequestBuffer request = EepromRequest(kEeprom1Op, kEepromWrite, address);
  request[kRequestValueAt] = value;
  return request;
}

RequestBuffer EepromWrite16Request(std::uint8_t address, const std::uint8_t* bytes) {
  RequestBuffer request = EepromRequest(kEeprom16Op, kEepromWrite, address);
  std::copy_n(bytes, kEepromDataSize, request.begin() + kRequestDataAt);
  return request;
}

RequestBuffer BulkEraseRequest(bool end_poll) {
  RequestBuffer request{};
  request[kRequestOpAt] = end_poll ? kBulkEraseEndOp : kBulkEraseOp;
  return request;
}

std::int32_t VendorCommands::Send(const CommandBytes& cdb, const std::uint8_t* data, std::uint32_t length) {
  return device_.Write(cdb.data(), kCommandLength, data, length, kCommandTimeoutSeconds);
}

std::int32_t VendorCommands::Receive(const CommandBytes& cdb, std::uint8_t* data, std::uint32_t length) {
  return device_.ReadWithLength(cdb.data(), kCommandLength, data, length, kCommandTimeoutSeconds);
}

std::int32_t VendorCommands::EraseMemory(std::uint32_t address, std::uint32_t size_code) {
  return Send(MemoryEraseCommand(address, size_code), nullptr, 0);
}

std::int32_t VendorCommands::ReadMemory(std::uint32_t address, std::uint8_t* buffer, std::uint32_t count) {
  return Receive(MemoryReadCommand(address, count), buffer, Cut16(count));
}

std::int32_t VendorCommands::WriteMemory(std::uint32_t address, const std::uint8_t* buffer, std::uint32_t count) {
  return Send(MemoryWriteCommand(address, count), buffer, Cut16(count));
}

std::int32_t VendorCommands::WriteData(const std::uint8_t* buffer, std::uint32_t count) {
  return Send(DataOutCommand(), buffer, Cut16(count));
}

std::int32_t VendorCommands::ReadData(std::uint8_t* buffer, std::uint32_t count) {
  return Receive(DataInCommand(), buffer, Cut16(count));
}

bool VendorCommands::ReadFlashIdentity(std::uint8_t* manufacturer, std::uint8_t* memory_type, std::uint8_t* capacity) {
  RequestBuffer buffer = FlashIdentityRequest();
  if (Send(DataOutCommand(), buffer.data(), kBlockSize) != kQmOk) return false;
  buffer.fill(0);
  if (Receive(DataInCommand(), buffer.data(), kBlockSize) != kQmOk) return false;
  if (buffer[kReplyEchoAt] != kFlashIdentityOp) return false;  // the reply must echo the request
  *manufacturer = buffer[kReplyIdentityAt];
  *memory_type = buffer[kReplyIdentityAt + 1];
  *capacity = buffer[kReplyIdentityAt + 2];
  return true;
}

bool VendorCommands::SetIoPort(std::int32_t flag) {
  const RequestBuffer buffer = IoPortRequest(flag);
  return Send(DataOutCommand(), buffer.data(), kBlockSize) == kQmOk;
}

bool VendorCommands::EepromConversation(RequestBuffer& buffer) {
  if (Send(DataOutCommand(), buffer.data(), kBlockSize) != kQmOk) return false;
  buffer.fill(0);
  if (Receive(DataInCommand(), buffer.data(), kBlockSize) != kQmOk) return false;
  for (int polls = 0; buffer[kReplyBusyAt] == kBusyMark; ++polls) {
    if (polls == kEepromBusyPollLimit) return false;
    pause_();
    buffer.fill(0);
    if (Receive(DataInCommand(), buffer.data(), kBlockSize) != kQmOk) return false;
  }
  return buffer[kReplyStatusAt] == kBusyMark;
}

bool VendorCommands::ReadEeprom1(std::uint8_t address, std::uint8_t* value) {
  RequestBuffer buffer = EepromReadRequest(false, address);
  if (!EepromConversation(buffer)) return false;
  *value = buffer[kReplyValueAt];
  return true;
}

bool VendorCommands::ReadEeprom16(std::uint8_t address, std::uint8_t* bytes) {
  RequestBuffer buffer = EepromReadRequest(true, address);
  if (!EepromConversation(buffer)) return false;
  std::copy_n(buffer.begin() + kReplyDataAt, kEepromDataSize, bytes);
  return true;
}

bool VendorCommands::WriteEeprom1(std::uint8_t address, std::uint8_t value) {
  RequestBuffer buffer = EepromWrite1Request(address, value);
  return EepromConversation(buffer);
}

bool VendorCommands::WriteEeprom16(std::uint8_t address, const std::uint8_t* bytes) {
  RequestBuffer buffer = EepromWrite16Request(address, bytes);
  return EepromConversation(buffer);
}

bool VendorCommands::BulkEraseConversation(bool end_poll) {
  RequestBuffer buffer = BulkEraseRequest(end_poll);
  if (Send(DataOutCommand(), buffer.data(), kBlockSize) != kQmOk) return false;
  buffer.fill(0);
  if (Receive(DataInCommand(), buffer.data(), kBlockSize) != kQmOk) return false;
  return buffer[kReplyEraseEndAt] == kBusyMark;
}

bool VendorCommands::BulkErase() {
  return BulkEraseConversation(false);
}

bool VendorCommands::IsBulkEraseEnd() {
  return BulkEraseConversation(true);
}

}  // namespace velkin::qm
