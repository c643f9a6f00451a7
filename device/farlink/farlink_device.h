// The Farlink device object and the single export object behind the FLNK_ functions.
#pragma once

#include <cstdint>

#include "device/qmlib/opened_unit.h"

namespace velkin::farlink {

class C_FarlinkDevice : public qm::C_OpenedUnit {
 public:
  // The open steps of FLNK_OpenDevice with the caller's texts: the number of listed devices (> 0)
  // on success, -3 when the refresh failed, -4 when device 0 could not be selected and opened.
  std::int32_t OpenDevice(const char* vendor, const char* product) { return OpenFirst(vendor, product); }
};

// Nothing asks for the outcome of the last open or check afterwards (unlike Quorvane's status
// query), so none is kept beside the device.
class C_FarlinkApi {
 public:
  C_FarlinkDevice& device() { return device_; }

 private:
  C_FarlinkDevice device_;
};

C_FarlinkApi& TheApi();

}  // namespace velkin::farlink
