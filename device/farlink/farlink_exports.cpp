// The fourteen FLNK_ exports: thin translations onto the device object and the operations both
// export sets share. No exception leaves the library.
#include <velkin/farlink.h>

#include "device/qmlib/export_guard.h"
#include "device/qmlib/unit_operations.h"
#include "farlink_device.h"

using velkin::farlink::TheApi;
using velkin::qm::Guarded;
using velkin::qm::kTrue;
using velkin::qm::Truth;
namespace ops = velkin::qm::unit_ops;

namespace {

// The library's export object exists from load to unload, not from the first call on.
const bool kLoaded = (TheApi(), true);

}  // namespace

extern "C" {

VELKIN_EXPORT int32_t VELKIN_CALL FLNK_OpenDevice(const char* vendor, const char* product) {
  return Guarded([&] { return Truth(TheApi().device().OpenDevice(vendor, product) > 0); });
}

VELKIN_EXPORT int32_t VELKIN_CALL FLNK_CloseDevice(void) {
  Guarded([] {
    TheApi().device().CloseDevice();
    return kTrue;
  });
  return kTrue;
}

VELKIN_EXPORT int32_t VELKIN_CALL FLNK_IsDeviceConnect(void) {
  return Guarded([] { return Truth(TheApi().device().CheckConnection()); });
}

VELKIN_EXPORT int32_t VELKIN_CALL FLNK_EraseMemory(uint32_t address, uint32_t sizeCode) {
  return ops::EraseMemory(TheApi().device(), address, sizeCode);
}

VELKIN_EXPORT int32_t VELKIN_CALL FLNK_ReadMemory(uint32_t address, uint8_t* buffer, uint32_t count) {
  return ops::ReadMemory(TheApi().device(), address, buffer, count);
}

VELKIN_EXPORT int32_t VELKIN_CALL FLNK_WriteMemory(uint32_t address, const uint8_t* buffer, uint32_t count) {
  return ops::WriteMemory(TheApi().device(), address, buffer, count);
}

VELKIN_EXPORT int32_t VELKIN_CALL FLNK_WriteData(const uint8_t* buffer, uint32_t count) {
  return ops::WriteData(TheApi().device(), buffer, count);
}

VELKIN_EXPORT int32_t VELKIN_CALL FLNK_ReadData(uint8_t* buffer, uint32_t count) {
  return ops::ReadData(TheApi().device(), buffer, count);
}

VELKIN_EXPORT int32_t VELKIN_CALL FLNK_ReadSpiFlashInfo(uint8_t* manufacturer, uint8_t* memoryType,
                                                        uint8_t* capacityCode) {
  return ops::ReadFlashIdentity(TheApi().device(), manufacturer, memoryType, capacityCode);
}

VELKIN_EXPORT int32_t VELKIN_CALL FLNK_WriteEEPROM_1Byte(uint32_t address, uint32_t data) {
  return ops::WriteEeprom1(TheApi().device(), address, data);
}

VELKIN_EXPORT int32_t VELKIN_CALL FLNK_ReadEEPROM_1Byte(uint32_t address, uint8_t* data) {
  return ops::ReadEeprom1(TheApi().device(), address, data);
}

VELKIN_EXPORT int32_t VELKIN_CALL FLNK_WriteEEPROM_16Byte(uint32_t address, const uint8_t* data) {
  return ops::WriteEeprom16(TheApi().device(), address, data);
}

VELKIN_EXPORT int32_t VELKIN_CALL FLNK_ReadEEPROM_16Byte(uint32_t address, uint8_t* data) {
  return ops::ReadEeprom16(TheApi().device(), address, data);
}

VELKIN_EXPORT int32_t VELKIN_CALL FLNK_SetIOPort(int32_t flag) {
  return ops::SetIoPort(TheApi().device(), flag);
}

}  // extern "C"
