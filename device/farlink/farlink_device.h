// The Farlink device object and the single export object behind the FLNK_ functions.
#pragma once

#include <atomic>
#include <cstdint>

#include "opened_unit.h"

namespace velkin::farlink {

class C_FarlinkDevice : public qm::C_OpenedUnit {
 public:
  // The open steps of FLNK_OpenDevice with the caller's texts: the number of listed devices (> 0)
  // on success, -3 when the refresh failed, -4 when device 0 could not be selected and opened.
  std::int32_t OpenDevice(const char* vendor, const char* product) { return OpenFirst(vendor, product); }
};

class C_FarlinkApi {
 public:
  C_FarlinkDevice& device() { return device_; }
  void set_connected(bool connected) { connected_ = connected; }
  bool connected() const { return connected_; }

 private:
  std::atomic<bool> connected_{false};
  C_FarlinkDevice device_;
};

C_FarlinkApi& TheApi();

}  // namespace velkin::farlink
