// The sixteen QRVN_ exports: thin translations onto the export object, its device object and the
// operations both export sets share. No exception leaves the library.
#include <velkin/quorvane.h>

#include "device/qmlib/export_guard.h"
#include "device/qmlib/unit_operations.h"
#include "quorvane_api.h"

using velkin::qm::BufferGiven;
using velkin::qm::CommandBytes;
using velkin::qm::Guarded;
using velkin::qm::kFalse;
using velkin::qm::Truth;
using velkin::quorvane::TheApi;
namespace ops = velkin::qm::unit_ops;

namespace {

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
  return ops::EraseMemory(TheApi().device(), address, sizeCode);
}

VELKIN_EXPORT int32_t VELKIN_CALL QRVN_ReadMemory(uint32_t address, uint8_t* buffer, uint32_t count) {
  return ops::ReadMemory(TheApi().device(), address, buffer, count);
}

VELKIN_EXPORT int32_t VELKIN_CALL QRVN_WriteMemory(uint32_t address, const uint8_t* buffer, uint32_t count) {
  return ops::WriteMemory(TheApi().device(), address, buffer, count);
}

VELKIN_EXPORT int32_t VELKIN_CALL QRVN_WriteData(const uint8_t* buffer, uint32_t count) {
  return ops::WriteData(TheApi().device(), buffer, count);
}

VELKIN_EXPORT int32_t VELKIN_CALL QRVN_ReadData(uint8_t* buffer, uint32_t count) {
  return ops::ReadData(TheApi().device(), buffer, count);
}

VELKIN_EXPORT int32_t VELKIN_CALL QRVN_CommandData(uint32_t code, uint32_t direction, uint8_t* buffer, uint32_t count) {
  if (!BufferGiven(buffer, count)) return kFalse;
  return Guarded([&] {
    CommandBytes cdb = velkin::qm::SignedCommand();
    cdb[velkin::qm::kCommandOpAt] = static_cast<std::uint8_t>(code >> 8);
    cdb[velkin::qm::kCommandSubOpAt] = static_cast<std::uint8_t>(code);
    // A non-zero direction is a write, also for a command without data.
    const auto way = direction != 0 ? velkin::qm::os::DataDirection::kOut : velkin::qm::os::DataDirection::kIn;
    return Truth(TheApi().device().SendRaw(cdb.data(), way, buffer, count & 0xFFFF));
  });
}

VELKIN_EXPORT int32_t VELKIN_CALL QRVN_ReadSpiFlashInfo(uint8_t* manufacturer, uint8_t* memoryType,
                                                        uint8_t* capacityCode) {
  return ops::ReadFlashIdentity(TheApi().device(), manufacturer, memoryType, capacityCode);
}

VELKIN_EXPORT int32_t VELKIN_CALL QRVN_WriteEEPROM_1(uint32_t address, uint32_t data) {
  return ops::WriteEeprom1(TheApi().device(), address, data);
}

VELKIN_EXPORT int32_t VELKIN_CALL QRVN_ReadEEPROM_1(uint32_t address, uint8_t* data) {
  return ops::ReadEeprom1(TheApi().device(), address, data);
}

VELKIN_EXPORT int32_t VELKIN_CALL QRVN_WriteEEPROM_16(uint32_t address, const uint8_t* data) {
  return ops::WriteEeprom16(TheApi().device(), address, data);
}

VELKIN_EXPORT int32_t VELKIN_CALL QRVN_ReadEEPROM_16(uint32_t address, uint8_t* data) {
  return ops::ReadEeprom16(TheApi().device(), address, data);
}

VELKIN_EXPORT int32_t VELKIN_CALL QRVN_BulkErase(void) {
  return ops::BulkErase(TheApi().device());
}

VELKIN_EXPORT int32_t VELKIN_CALL QRVN_IsBulkEraseEnd(void) {
  return ops::IsBulkEraseEnd(TheApi().device());
}

VELKIN_EXPORT int32_t VELKIN_CALL QRVN_SetIOPort(int32_t flag) {
  return ops::SetIoPort(TheApi().device(), flag);
}

}  // extern "C"
