// The device agent: the list of devices that match the current filter, kept across
// re-enumerations so that a device object in use is never replaced.
//
// Locks: every operation takes the agent lock, one process-wide recursive lock, so agent
// operations may call one another. A device table takes its own lock before the agent lock,
// never after; a device's exchange lock comes last.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "device/qmlib/os/cl_array.h"
#include "device/qmlib/os/hotplug.h"
#include "device_enumerator.h"
#include "mass_storage_device.h"

namespace velkin::qm {

// One list entry.
struct tagQMUsbDeviceContext {
  tagQMUsbDeviceContext(I_QMUsbDeviceInternal* device_in, std::int32_t present_in)
      : device(device_in), present(present_in) {}
  ~tagQMUsbDeviceContext() {
    if (device != nullptr) device->Device()->Release();
  }
  tagQMUsbDeviceContext(const tagQMUsbDeviceContext&) = delete;
  tagQMUsbDeviceContext& operator=(const tagQMUsbDeviceContext&) = delete;

  I_QMUsbDeviceInternal* device;  // holds one reference, owned by the entry
  std::int32_t present;           // seen in the current enumeration
};

class I_QMUsbDeviceAgent {
 public:
  virtual ~I_QMUsbDeviceAgent() = default;
  virtual std::int32_t Enumerate(const QMDeviceFilter& filter) = 0;
  virtual std::int32_t Count() = 0;
  virtual const C_QMUsbDeviceInfo* DeviceInfo(std::int32_t index) = 0;
  virtual std::int32_t IndexOfName(const char* name) = 0;
  virtual std::int32_t OpenEntry(std::int32_t index, bool open, I_QMUsbDevice** out) = 0;
  virtual std::int32_t CheckEntry(std::int32_t index) = 0;
  virtual std::int32_t RegisterNotifications(const os::HotplugRecipient& recipient) = 0;
  virtual std::int32_t UnregisterNotifications() = 0;
};

// The agent lock, held for the life of the object.
class C_QMUsbDeviceAgentThreadLock {
 public:
  C_QMUsbDeviceAgentThreadLock();
  ~C_QMUsbDeviceAgentThreadLock();
  C_QMUsbDeviceAgentThreadLock(const C_QMUsbDeviceAgentThreadLock&) = delete;
  C_QMUsbDeviceAgentThreadLock& operator=(const C_QMUsbDeviceAgentThreadLock&) = delete;

  // The process-wide lock itself; it lives as long as the process, so that objects destroyed at
  // unload can still take it.
  static std::recursive_mutex& Lock();
};

class C_QMUsbDeviceAgent : public I_QMUsbDeviceAgent {
 public:
  C_QMUsbDeviceAgent() = default;
  ~C_QMUsbDeviceAgent() override;
  C_QMUsbDeviceAgent(const C_QMUsbDeviceAgent&) = delete;
  C_QMUsbDeviceAgent& operator=(const C_QMUsbDeviceAgent&) = delete;

  // 0, kQmNoEnumerator, or kQmUnusable when the enumeration cannot start.
  std::int32_t Enumerate(const QMDeviceFilter& filter) override;
  std::int32_t Count() override;
  // Null for an index outside the list. The record belongs to the entry's device object.
  const C_QMUsbDeviceInfo* DeviceInfo(std::int32_t index) override;
  // Index of the entry whose name equals `name` without regard to case, or -1.
  std::int32_t IndexOfName(const char* name) override;
  // Hands out entry `index` retained (opened first when `open` is set): 0, kQmIndexOutsideList,
  // or the open's failure code.
  std::int32_t OpenEntry(std::int32_t index, bool open, I_QMUsbDevice** out) override;
  // Whether the listed device still answers on its handle: 0, kQmNoAnswer, kQmUnknownDevice for
  // an index outside the list, kQmUnusable for an entry without a usable record.
  std::int32_t CheckEntry(std::int32_t index) override;
  // Registers the recipient for device changes (os::RegisterDeviceNotifications), giving up any
  // earlier registration: a window on Windows, a callback elsewhere. Always 1.
  std::int32_t RegisterNotifications(const os::HotplugRecipient& recipient) override;
  // Gives up the registration through the registration itself, so a registration made with one
  // environment is stopped also after VELKIN_EMULATOR has changed. Always 1.
  std::int32_t UnregisterNotifications() override;

  // The units of the last enumeration that passed the filter test but could not be opened (no
  // access to them, or another program holds them), each with its open error. The system's
  // agent leaves them out silently; a user then sees no unit at all and cannot tell why.
  std::vector<C_QMUsbDeviceInfo> UnopenableDevices();

 protected:
  virtual std::unique_ptr<C_QMUsbDeviceEnumerator> CreateEnumerator(const QMDeviceFilter& filter) = 0;
  // A new device object (one reference, owned by the caller) seen as its internal interface.
  virtual I_QMUsbDeviceInternal* CreateDevice(const C_QMUsbDeviceInfo& record) = 0;
  void ClearList();
  void Purge();

 private:
  bool SameFilter(const QMDeviceFilter& filter) const;
  static bool PassesFilter(const C_QMUsbDeviceInfo& record, const QMDeviceFilter& filter);
  tagQMUsbDeviceContext* FindByName(const char* name, std::size_t* index);

  C_CLCustomArray<tagQMUsbDeviceContext> list_;
  std::int32_t filter_kind_ = -1;
  std::int32_t filter_option_ = -1;
  std::optional<QMMassStorageFilterPayload> filter_payload_;
  std::unique_ptr<os::HotplugSource> notification_;
  std::vector<C_QMUsbDeviceInfo> unopenable_;
};

class C_QMMassStorageDeviceAgent : public C_QMUsbDeviceAgent {
 protected:
  std::unique_ptr<C_QMUsbDeviceEnumerator> CreateEnumerator(const QMDeviceFilter& filter) override;
  I_QMUsbDeviceInternal* CreateDevice(const C_QMUsbDeviceInfo& record) override;
};

}  // namespace velkin::qm
