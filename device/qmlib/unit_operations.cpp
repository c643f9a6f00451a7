#include "unit_operations.h"

#include "export_guard.h"

namespace velkin::qm::unit_ops {
namespace {

template <class Body>
std::int32_t OnCommands(C_OpenedUnit& unit, Body body) noexcept {
  return Guarded([&] { return Truth(unit.WithCommands(body)); });
}

std::uint8_t Byte(std::uint32_t value) {
  return static_cast<std::uint8_t>(value);
}

}  // namespace

std::int32_t EraseMemory(C_OpenedUnit& unit, std::uint32_t address, std::uint32_t size_code) noexcept {
  return OnCommands(unit, [&](VendorCommands& c) { return c.EraseMemory(address, size_code) == kQmOk; });
}

std::int32_t ReadMemory(C_OpenedUnit& unit, std::uint32_t address, std::uint8_t* buffer, std::uint32_t count) noexcept {
  if (!BufferGiven(buffer, count)) return kFalse;
  return OnCommands(unit, [&](VendorCommands& c) { return c.ReadMemory(address, buffer, count) == kQmOk; });
}

std::int32_t WriteMemory(C_OpenedUnit& unit, std::uint32_t address, const std::uint8_t* buffer,
                         std::uint32_t count) noexcept {
  if (!BufferGiven(buffer, count)) return kFalse;
  return OnCommands(unit, [&](VendorCommands& c) { return c.WriteMemory(address, buffer, count) == kQmOk; });
}

std::int32_t WriteData(C_OpenedUnit& unit, const std::uint8_t* buffer, std::uint32_t count) noexcept {
  if (!BufferGiven(buffer, count)) return kFalse;
  return OnCommands(unit, [&](VendorCommands& c) { return c.WriteData(buffer, count) == kQmOk; });
}

std::int32_t ReadData(C_OpenedUnit& unit, std::uint8_t* buffer, std::uint32_t count) noexcept {
  if (!BufferGiven(buffer, count)) return kFalse;
  return OnCommands(unit, [&](VendorCommands& c) { return c.ReadData(buffer, count) == kQmOk; });
}

std::int32_t ReadFlashIdentity(C_OpenedUnit& unit, std::uint8_t* manufacturer, std::uint8_t* memory_type,
                               std::uint8_t* capacity_code) noexcept {
  if (!BufferGiven(manufacturer) || !BufferGiven(memory_type) || !BufferGiven(capacity_code)) return kFalse;
  return OnCommands(unit,
                    [&](VendorCommands& c) { return c.ReadFlashIdentity(manufacturer, memory_type, capacity_code); });
}

std::int32_t WriteEeprom1(C_OpenedUnit& unit, std::uint32_t address, std::uint32_t data) noexcept {
  return OnCommands(unit, [&](VendorCommands& c) { return c.WriteEeprom1(Byte(address), Byte(data)); });
}

std::int32_t ReadEeprom1(C_OpenedUnit& unit, std::uint32_t address, std::uint8_t* data) noexcept {
  if (!BufferGiven(data)) return kFalse;
  return OnCommands(unit, [&](VendorCommands& c) { return c.ReadEeprom1(Byte(address), data); });
}

std::int32_t WriteEeprom16(C_OpenedUnit& unit, std::uint32_t address, const std::uint8_t* data) noexcept {
  if (!BufferGiven(data)) return kFalse;
  return OnCommands(unit, [&](VendorCommands& c) { return c.WriteEeprom16(Byte(address), data); });
}

std::int32_t ReadEeprom16(C_OpenedUnit& unit, std::uint32_t address, std::uint8_t* data) noexcept {
  if (!BufferGiven(data)) return kFalse;
  return OnCommands(unit, [&](VendorCommands& c) { return c.ReadEeprom16(Byte(address), data); });
}

std::int32_t SetIoPort(C_OpenedUnit& unit, std::int32_t flag) noexcept {
  return OnCommands(unit, [&](VendorCommands& c) { return c.SetIoPort(flag); });
}

std::int32_t BulkErase(C_OpenedUnit& unit) noexcept {
  return OnCommands(unit, [](VendorCommands& c) { return c.BulkErase(); });
}

std::int32_t IsBulkEraseEnd(C_OpenedUnit& unit) noexcept {
  return OnCommands(unit, [](VendorCommands& c) { return c.IsBulkEraseEnd(); });
}

}  // namespace velkin::qm::unit_ops
