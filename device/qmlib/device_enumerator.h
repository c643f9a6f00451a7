// Enumerators: one enumeration run over the present units, handing out device records.
#pragma once

#include <cstddef>
#include <memory>

#include "device/qmlib/os/backend.h"
#include "usb_device_info.h"

namespace velkin::qm {

class C_QMUsbDeviceEnumerator {
 public:
  explicit C_QMUsbDeviceEnumerator(const QMDeviceFilter& filter) : filter_(filter) {}
  virtual ~C_QMUsbDeviceEnumerator() = default;

  // Reads the list of present units; false when the system's list cannot be read.
  virtual bool Start();
  // The next record, owned by the caller, or null at the end.
  virtual std::unique_ptr<C_QMUsbDeviceInfo> Next();
  virtual bool Finish();

 protected:
  // A record for one present unit, or null when the unit yields none.
  virtual std::unique_ptr<C_QMUsbDeviceInfo> BuildRecord(const os::DeviceRecord& unit) = 0;
  const QMDeviceFilter& filter() const { return filter_; }

 private:
  QMDeviceFilter filter_;  // not owned: the payload belongs to the caller of the enumeration
  os::DeviceRecords units_;
  std::size_t next_ = 0;
};

class C_QMMassStorageDeviceEnumerator : public C_QMUsbDeviceEnumerator {
 public:
  using C_QMUsbDeviceEnumerator::C_QMUsbDeviceEnumerator;

 protected:
  std::unique_ptr<C_QMUsbDeviceInfo> BuildRecord(const os::DeviceRecord& unit) override;
};

}  // namespace velkin::qm
