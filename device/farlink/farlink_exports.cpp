// The fourteen FLNK_ exports: thin translations onto the device object. No exception leaves
// the library.
#include <velkin/farlink.h>

#include "export_guard.h"
#include "farlink_device.h"

using velkin::farlink::C_FarlinkDevice;
using velkin::farlink::TheApi;
using velkin::qm::BufferGiven;
using velkin::qm::Guarded;
using velkin::qm::kFalse;
using velkin::qm::kQmOk;
using velkin::qm::kTrue;
using velkin::qm::Truth;
using velkin::qm::VendorCommands;

namespace {

template <class Body>
int32_t OnDevice(Body body) noexcept {
  return Guarded([&] { return Truth(TheApi().device().WithDevice(body)); });
}

// The library's export object exists from load to unload, not from the first call on.
const bool kLoaded = (TheApi(), true);

}  // namespace

extern "C" {

VELKIN_EXPORT int32_t VELKIN_CALL FLNK_OpenDevice(const char* vendor, const char* product) {
  return Guarded([&] {
    const int32_t result = TheApi().device().OpenDevice(vendor, product);
    TheApi().set_connected(result > 0);
    return Truth(result > 0);
  });
}

VELKIN_EXPORT int32_t VELKIN_CALL FLNK_CloseDevice(void) {
  Guarded([] {
    TheApi().device().CloseDevice();
    return kTrue;
  });
  return kTrue;
}

VELKIN_EXPORT int32_t VELKIN_CALL FLNK_IsDeviceConnect(void) {
  return Guarded([] {
    const bool connected = TheApi().device().IsConnected();
    TheApi().set_connected(connected);
    return Truth(connected);
  });
}

VELKIN_EXPORT int32_t VELKIN_CALL FLNK_EraseMemory(uint32_t address, uint32_t sizeCode) {
  return OnDevice([&](VendorCommands& c) { return c.EraseMemory(address, sizeCode) == kQmOk; });
}

VELKIN_EXPORT int32_t VELKIN_CALL FLNK_ReadMemory(uint32_t address, uint8_t* buffer, uint32_t count) {
  if (!BufferGiven(buffer, count)) return kFalse;
  return OnDevice([&](VendorCommands& c) { return c.ReadMemory(address, buffer, count) == kQmOk; });
}

VELKIN_EXPORT int32_t VELKIN_CALL FLNK_WriteMemory(uint32_t address, const uint8_t* buffer, uint32_t count) {
  if (!BufferGiven(buffer, count)) return kFalse;
  return OnDevice([&](VendorCommands& c) { return c.WriteMemory(address, buffer, count) == kQmOk; });
}

VELKIN_EXPORT int32_t VELKIN_CALL FLNK_WriteData(const uint8_t* buffer, uint32_t count) {
  if (!BufferGiven(buffer, count)) return kFalse;
  return OnDevice([&](VendorCommands& c) { return c.WriteData(buffer, count) == kQmOk; });
}

VELKIN_EXPORT int32_t VELKIN_CALL FLNK_ReadData(uint8_t* buffer, uint32_t count) {
  if (!BufferGiven(buffer, count)) return kFalse;
  return OnDevice([&](VendorCommands& c) { return c.ReadData(buffer, count) == kQmOk; });
}

VELKIN_EXPORT int32_t VELKIN_CALL FLNK_ReadSpiFlashInfo(uint8_t* manufacturer, uint8_t* memoryType,
                                                        uint8_t* capacityCode) {
  if (!BufferGiven(manufacturer) || !BufferGiven(memoryType) || !BufferGiven(capacityCode)) return kFalse;
  return OnDevice([&](VendorCommands& c) { return c.ReadFlashIdentity(manufacturer, memoryType, capacityCode); });
}

VELKIN_EXPORT int32_t VELKIN_CALL FLNK_WriteEEPROM_1Byte(uint32_t address, uint32_t data) {
  return OnDevice(
      [&](VendorCommands& c) { return c.WriteEeprom1(static_cast<uint8_t>(address), static_cast<uint8_t>(data)); });
}

VELKIN_EXPORT int32_t VELKIN_CALL FLNK_ReadEEPROM_1Byte(uint32_t address, uint8_t* data) {
  if (!BufferGiven(data)) return kFalse;
  return OnDevice([&](VendorCommands& c) { return c.ReadEeprom1(static_cast<uint8_t>(address), data); });
}

VELKIN_EXPORT int32_t VELKIN_CALL FLNK_WriteEEPROM_16Byte(uint32_t address, const uint8_t* data) {
  if (!BufferGiven(data)) return kFalse;
  return OnDevice([&](VendorCommands& c) { return c.WriteEeprom16(static_cast<uint8_t>(address), data); });
}

VELKIN_EXPORT int32_t VELKIN_CALL FLNK_ReadEEPROM_16Byte(uint32_t address, uint8_t* data) {
  if (!BufferGiven(data)) return kFalse;
  return OnDevice([&](VendorCommands& c) { return c.ReadEeprom16(static_cast<uint8_t>(address), data); });
}

VELKIN_EXPORT int32_t VELKIN_CALL FLNK_SetIOPort(int32_t flag) {
  return OnDevice([&](VendorCommands& c) { return c.SetIoPort(flag); });
}

}  // extern "C"
