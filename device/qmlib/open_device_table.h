// The device table: the agent, up to 32 opened device objects (slot i for entry i of the agent's
// list), the matching texts and the selected device. The base of the export layers' device
// objects.
//
// Locks, always in this order: the device-table lock (held while the table is refreshed, while a
// device is selected or closed, and while a connection check runs), then the agent lock, then a
// device's exchange lock. An exchange with a device holds only that device's exchange lock, and
// a retained reference, so that a close on another thread cannot pull the object away under it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "device/qmlib/os/transport.h"
#include "device_agent.h"
#include "mass_storage_device.h"

namespace velkin::qm {

class C_OpenDeviceTable {
 public:
  C_OpenDeviceTable();
  virtual ~C_OpenDeviceTable();
  C_OpenDeviceTable(const C_OpenDeviceTable&) = delete;
  C_OpenDeviceTable& operator=(const C_OpenDeviceTable&) = delete;

  // One command to the selected device, by name, or by index (timeout 10 s, 16-byte block).
  std::int32_t SendCommand(const std::uint8_t* cdb, os::DataDirection direction, std::uint8_t* buffer,
                           std::uint32_t length);
  std::int32_t SendCommandByName(const char* name, const std::uint8_t* cdb, os::DataDirection direction,
                                 std::uint8_t* buffer, std::uint32_t length);
  std::int32_t SendCommandByIndex(std::int32_t index, const std::uint8_t* cdb, os::DataDirection direction,
                                  std::uint8_t* buffer, std::uint32_t length);

  // The detailed codes kept in a device object (0 when there is no such device).
  std::uint32_t LastOsErrorByName(const char* name);
  std::uint32_t LastOsErrorByIndex(std::int32_t index);
  std::uint32_t LastOsError();
  std::uint32_t LastSenseByName(const char* name);
  std::uint32_t LastSenseByIndex(std::int32_t index);
  std::uint32_t LastSense();

  // Whether a listed device still answers: 0, kQmIndexOutsideList when the name is not listed,
  // kQmUnknownDevice for an index outside the list or an empty slot, or the agent's code.
  std::int32_t CheckConnectionByName(const char* name);
  std::int32_t CheckConnectionByIndex(std::int32_t index);

  // Re-enumerates with the matching texts and re-seats the open objects by name: 0, or the
  // agent's code (the table is then empty).
  std::int32_t Refresh(std::int32_t option = 0);
  // 0, or kQmNoEnumerator when there is no agent.
  std::int32_t CreateAgent();
  // Kind 1, `option`, and the table's payload with the matching texts.
  QMDeviceFilter BuildFilter(std::int32_t option);

  // Selects table slot `index`, opening the agent's entry into it when empty. 0 or a code.
  std::int32_t SelectAndOpen(std::int32_t index);
  // Closes and releases the device of that name (exact comparison) and clears its slot.
  void CloseByName(const char* name);

  // Runs `exchange` on the device of that name (exact comparison) with the device's exchange
  // lock held. kQmUnknownDevice when the name is not listed or its slot is empty,
  // kQmUnusable when it offers no mass-storage interface; otherwise what `exchange` returns.
  std::int32_t Exchange(const char* name, const std::function<std::int32_t(I_QMMassStorageDevice&)>& exchange);

  // Matching texts (at most 31 characters are kept).
  void SetMatchTexts(const char* vendor, const char* product);
  std::int32_t current_index() const { return current_; }
  C_QMMassStorageDeviceAgent* agent() { return agent_.get(); }

 protected:
  // Index in the agent's list of the entry named exactly `name`, or -1.
  std::int32_t ListIndexOfName(const char* name);
  // The object in slot `index`, retained, or null.
  RetainedRef<I_QMUsbDevice> SlotObject(std::int32_t index);
  // Unload: every slot released, the current index reset, the agent destroyed.
  void ReleaseAll();

  std::recursive_mutex table_lock_;

 private:
  // Which slot a call means: the selected one, the one at an index, or the one whose device has
  // a name (exact comparison). Every ByName/ByIndex/selected variant goes through SlotDevice.
  struct SlotKey {
    const char* name = nullptr;
    std::int32_t index = -1;
    bool selected = false;
  };
  static SlotKey Selected() { return {nullptr, -1, true}; }
  static SlotKey AtIndex(std::int32_t index) { return {nullptr, index, false}; }
  static SlotKey Named(const char* name) { return {name, -1, false}; }

  // The object in the slot `key` means, retained so that a close on another thread cannot pull it
  // away, and its mass-storage view (null when it offers none). The key is resolved and the slot
  // read under the table and agent locks; the object is empty when the slot is.
  struct SlotDevice {
    RetainedRef<I_QMUsbDevice> object;
    I_QMMassStorageDevice* storage = nullptr;
  };
  SlotDevice DeviceIn(const SlotKey& key);
  std::int32_t ExchangeIn(const SlotKey& key, const std::function<std::int32_t(I_QMMassStorageDevice&)>& exchange);

  std::unique_ptr<C_QMMassStorageDeviceAgent> agent_;
  std::array<I_QMUsbDevice*, kTableSlots> table_{};  // each holds one reference
  char vendor_[32] = {};
  char product_[32] = {};
  std::int32_t current_ = -1;
  QMMassStorageFilterPayload payload_;  // written by each refresh under the table lock
};

}  // namespace velkin::qm
