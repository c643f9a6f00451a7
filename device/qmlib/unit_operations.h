// The operations both export sets offer on their opened unit (memory, data blocks, flash identity,
// EEPROM, I/O port, whole-chip erase), each with the rules of the library boundary (export_guard.h):
// TRUE or FALSE, nothing thrown out, a missing buffer refused before the device is asked anything,
// FALSE at once while no device is open. Addresses of the EEPROM are one byte.
#pragma once

#include <cstdint>

#include "opened_unit.h"

namespace velkin::qm::unit_ops {

std::int32_t EraseMemory(C_OpenedUnit& unit, std::uint32_t address, std::uint32_t size_code) noexcept;
std::int32_t ReadMemory(C_OpenedUnit& unit, std::uint32_t address, std::uint8_t* buffer, std::uint32_t count) noexcept;
std::int32_t WriteMemory(C_OpenedUnit& unit, std::uint32_t address, const std::uint8_t* buffer,
                         std::uint32_t count) noexcept;
std::int32_t WriteData(C_OpenedUnit& unit, const std::uint8_t* buffer, std::uint32_t count) noexcept;
std::int32_t ReadData(C_OpenedUnit& unit, std::uint8_t* buffer, std::uint32_t count) noexcept;
std::int32_t ReadFlashIdentity(C_OpenedUnit& unit, std::uint8_t* manufacturer, std::uint8_t* memory_type,
                               std::uint8_t* capacity_code) noexcept;
std::int32_t WriteEeprom1(C_OpenedUnit& unit, std::uint32_t address, std::uint32_t data) noexcept;
std::int32_t ReadEeprom1(C_OpenedUnit& unit, std::uint32_t address, std::uint8_t* data) noexcept;
std::int32_t WriteEeprom16(C_OpenedUnit& unit, std::uint32_t address, const std::uint8_t* data) noexcept;
std::int32_t ReadEeprom16(C_OpenedUnit& unit, std::uint32_t address, std::uint8_t* data) noexcept;
std::int32_t SetIoPort(C_OpenedUnit& unit, std::int32_t flag) noexcept;
// Neither waits for the erase to end: the host polls for it.
std::int32_t BulkErase(C_OpenedUnit& unit) noexcept;
std::int32_t IsBulkEraseEnd(C_OpenedUnit& unit) noexcept;

}  // namespace velkin::qm::unit_ops
