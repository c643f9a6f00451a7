// The sixteen QRVN_ exports: thin translations onto the export object and its device object. No
// exception leaves the library.
#include <velkin/quorvane.h>

#include "export_guard.h"
#include "quorvane_api.h"

using velkin::qm::BufferGiven;
using velkin::qm::CommandBytes;
using velkin::qm::Guarded;
using velkin::qm::kFalse;
using velkin::qm::kQmOk;
using velkin::qm::kTrue;
using velkin::qm::Truth;
using velkin::qm::VendorCommands;
using velkin::quorvane::TheApi;

namespace {

template <class Body>
int32_t OnDevice(Body body) noexcept {
  return Guarded([&] { return Truth(TheApi().device().WithCommands(body)); });
}

// The library's export object exists from load to unload, not from the first call on.
const bool kLoaded = (TheApi(), true);

}  // namespace

extern "C" {

VELKIN_EXPORT int32_t VELKIN_CALL QRVN_InitDllv(QRVN_NotifyTarget target, uint32_t message) {
  return Guarded([&] { return Truth(TheApi().InitDllv(target, message)); });
}

VELKIN_EXPORT int32_t VELKIN_CALL QRVN_GetDeviceStatus(void) {
  return TheApi().connected();
}

VELKIN_EXPORT int32_t VELKIN_CALL QRVN_SingleEraseMemory(uint32_t address, uint32_t sizeCode) {
  return OnDevice([&](VendorCommands& c) { return c.EraseMemory(address, sizeCode) == kQmOk; });
}

VELKIN_EXPORT int32_t VELKIN_CALL QRVN_ReadMemory(uint32_t address, uint8_t* buffer, uint32_t count) {
  if (!BufferGiven(buffer, count)) return kFalse;
  return OnDevice([&](VendorCommands& c) { return c.ReadMemory(address, buffer, count) == kQmOk; });
}

VELKIN_EXPORT int32_t VELKIN_CALL QRVN_WriteMemory(uint32_t address, const uint8_t* buffer, uint32_t count) {
  if (!BufferGiven(buffer, count)) return kFalse;
  return OnDevice([&](VendorCommands& c) { return c.WriteMemory(address, buffer, count) == kQmOk; });
}

VELKIN_EXPORT int32_t VELKIN_CALL QRVN_WriteData(const uint8_t* buffer, uint32_t count) {
  if (!BufferGiven(buffer, count)) return kFalse;
  return OnDevice([&](VendorCommands& c) { return c.WriteData(buffer, count) == kQmOk; });
}

VELKIN_EXPORT int32_t VELKIN_CALL QRVN_ReadData(uint8_t* buffer, uint32_t count) {
  if (!BufferGiven(buffer, count)) return kFalse;
  return OnDevice([&](VendorCommands& c) { return c.ReadData(buffer, count) == kQmOk; });
}

VELKIN_EXPORT int32_t VELKIN_CALL QRVN_CommandData(uint32_t code, uint32_t direction, uint8_t* buffer, uint32_t count) {
  if (!BufferGiven(buffer, count)) return kFalse;
  return Guarded([&] {
    CommandBytes cdb{};
    cdb[0] = static_cast<std::uint8_t>(code >> 8);
    cdb[1] = static_cast<std::uint8_t>(code);
    cdb[14] = 'Q';
    cdb[15] = 'M';
    // A non-zero direction is a write, also for a command without data.
    const auto way = direction != 0 ? velkin::qm::os::DataDirection::kOut : velkin::qm::os::DataDirection::kIn;
    return Truth(TheApi().device().SendRaw(cdb.data(), way, buffer, count & 0xFFFF));
  });
}

VELKIN_EXPORT int32_t VELKIN_CALL QRVN_ReadSpiFlashInfo(uint8_t* manufacturer, uint8_t* memoryType,
                                                        uint8_t* capacityCode) {
  if (manufacturer == nullptr || memoryType == nullptr || capacityCode == nullptr) return kFalse;
  return OnDevice([&](VendorCommands& c) { return c.ReadFlashIdentity(manufacturer, memoryType, capacityCode); });
}

VELKIN_EXPORT int32_t VELKIN_CALL QRVN_WriteEEPROM_1(uint32_t address, uint32_t data) {
  return OnDevice(
      [&](VendorCommands& c) { return c.WriteEeprom1(static_cast<uint8_t>(address), static_cast<uint8_t>(data)); });
}

VELKIN_EXPORT int32_t VELKIN_CALL QRVN_ReadEEPROM_1(uint32_t address, uint8_t* data) {
  if (data == nullptr) return kFalse;
  return OnDevice([&](VendorCommands& c) { return c.ReadEeprom1(static_cast<uint8_t>(address), data); });
}

VELKIN_EXPORT int32_t VELKIN_CALL QRVN_WriteEEPROM_16(uint32_t address, const uint8_t* data) {
  if (data == nullptr) return kFalse;
  return OnDevice([&](VendorCommands& c) { return c.WriteEeprom16(static_cast<uint8_t>(address), data); });
}

VELKIN_EXPORT int32_t VELKIN_CALL QRVN_ReadEEPROM_16(uint32_t address, uint8_t* data) {
  if (data == nullptr) return kFalse;
  return OnDevice([&](VendorCommands& c) { return c.ReadEeprom16(static_cast<uint8_t>(address), data); });
}

// Neither waits for the erase to end: the host polls for it.
VELKIN_EXPORT int32_t VELKIN_CALL QRVN_BulkErase(void) {
  return OnDevice([](VendorCommands& c) { return c.BulkErase(); });
}

VELKIN_EXPORT int32_t VELKIN_CALL QRVN_IsBulkEraseEnd(void) {
  return OnDevice([](VendorCommands& c) { return c.IsBulkEraseEnd(); });
}

VELKIN_EXPORT int32_t VELKIN_CALL QRVN_SetIOPort(int32_t flag) {
  return OnDevice([&](VendorCommands& c) { return c.SetIoPort(flag); });
}

}  // extern "C"
