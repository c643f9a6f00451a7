#include "device_enumerator.h"

namespace velkin::qm {

bool C_QMUsbDeviceEnumerator::Start() {
  Finish();
  return os::ActiveBackend()->ListDevices(units_);
}

std::unique_ptr<C_QMUsbDeviceInfo> C_QMUsbDeviceEnumerator::Next() {
  while (next_ < units_.size()) {
    if (auto record = BuildRecord(units_[next_++])) return record;
  }
  return nullptr;
}

bool C_QMUsbDeviceEnumerator::Finish() {
  units_.clear();
  next_ = 0;
  return true;
}

std::unique_ptr<C_QMUsbDeviceInfo> C_QMMassStorageDeviceEnumerator::BuildRecord(const os::DeviceRecord& unit) {
  // A unit without a path to open or a name to know it by again yields no record.
  if (unit.path.empty() || unit.name.empty()) return nullptr;
  return std::make_unique<C_QMUsbDeviceInfo>(unit, filter());
}

}  // namespace velkin::qm
