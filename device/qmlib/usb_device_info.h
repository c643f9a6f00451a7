// The device record, the matching filter and the identity match.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "device/qmlib/os/discovery.h"
#include "device/qmlib/os/transport.h"

namespace velkin::qm {

inline constexpr std::int32_t kFilterMassStorage = 1;

// The matching filter's mass-storage payload, written by the device table for each refresh.
struct QMMassStorageFilterPayload {
  std::intptr_t caller_value_b = 0;
  std::intptr_t caller_value_a = 0;
  std::int32_t texts_set = 0;  // 1 when both texts were non-empty at the refresh
  char vendor[32] = {};        // copied only when both texts are non-empty
  char product[32] = {};

  friend bool operator==(const QMMassStorageFilterPayload& a, const QMMassStorageFilterPayload& b);
};

// Kind, option and payload (kind 1 only in this library).
struct QMDeviceFilter {
  std::int32_t kind = kFilterMassStorage;
  std::int32_t option = 0;
  const QMMassStorageFilterPayload* payload = nullptr;
};

class I_QMUsbDeviceInfo {
 public:
  virtual ~I_QMUsbDeviceInfo() = default;
  virtual const char* Name() const = 0;
  virtual std::uint16_t UsbVendorId() const = 0;
  virtual std::uint16_t UsbProductId() const = 0;
  virtual const char* VendorText() const = 0;
  virtual const char* ProductText() const = 0;
  virtual std::int32_t FilterKind() const = 0;
  virtual std::intptr_t CallerValueA() const = 0;
  virtual std::int32_t FilterOption() const = 0;
  virtual std::intptr_t CallerValueB() const = 0;
  virtual std::int16_t HubNumber() const = 0;
  virtual std::int16_t PortNumber() const = 0;
};

class C_QMUsbDeviceInfo : public I_QMUsbDeviceInfo {
 public:
  C_QMUsbDeviceInfo() = default;
  // From a discovery record and the filter that found it. Texts are cut to their fields: name 16
  // characters, interface path 255, hardware ID 511, vendor and product 31.
  C_QMUsbDeviceInfo(const os::DeviceRecord& record, const QMDeviceFilter& filter);
  C_QMUsbDeviceInfo(const C_QMUsbDeviceInfo& other);
  C_QMUsbDeviceInfo& operator=(const C_QMUsbDeviceInfo& other);

  const char* Name() const override { return name_.c_str(); }
  std::uint16_t UsbVendorId() const override { return usb_vendor_id_; }
  std::uint16_t UsbProductId() const override { return usb_product_id_; }
  const char* VendorText() const override { return vendor_.c_str(); }
  const char* ProductText() const override { return product_.c_str(); }
  std::int32_t FilterKind() const override { return filter_kind_; }
  std::intptr_t CallerValueA() const override { return caller_value_a_; }
  std::int32_t FilterOption() const override { return filter_option_; }
  std::intptr_t CallerValueB() const override { return caller_value_b_; }
  // Both fill in from the topology lookup on first use while still unknown (-1). On Windows the
  // hub number is the system's; on Linux it is the hub's USB bus * 128 + its device number, so
  // that it names one hub while the hub stays plugged (see os/linux/udev_discovery.h).
  std::int16_t HubNumber() const override;
  std::int16_t PortNumber() const override;

  const std::string& InterfacePath() const { return path_; }
  const std::string& HardwareId() const { return hardware_id_; }

  // Why the unit could not be opened, for a unit that matched but could not be used (see
  // C_QMUsbDeviceAgent::UnopenableDevices): the system's error number (0: it was not refused)
  // and its text, e.g. "Permission denied". Not part of the system's record; set by the agent.
  std::uint32_t OpenError() const { return open_error_.error; }
  const std::string& OpenErrorText() const { return open_error_.text; }
  void SetOpenError(const os::OpenFailure& failure) { open_error_ = failure; }

 private:
  void LookUpHubAndPort() const;

  std::uint16_t usb_vendor_id_ = 0xFFFF;
  std::uint16_t usb_product_id_ = 0xFFFF;
  std::string name_;
  std::string vendor_;
  std::string product_;
  std::string path_;
  std::string hardware_id_;
  std::int32_t filter_kind_ = kFilterMassStorage;
  std::intptr_t caller_value_a_ = 0;
  std::int32_t filter_option_ = 0;
  std::intptr_t caller_value_b_ = 0;
  os::OpenFailure open_error_;
  mutable std::mutex topology_lock_;  // hub and port may be asked for from two threads
  mutable std::int16_t hub_ = -1;
  mutable std::int16_t port_ = -1;
};

// Whether a hardware ID carries the filter's vendor and product texts: "USBSTOR\Disk" or
// "USBSTOR\CdRom", then an 8-character vendor and a 16-character product field with trailing
// underscores dropped; case counts, a blank and an underscore are equal, lengths must be equal.
// A filter whose texts were not set matches nothing.
bool MatchesIdentity(std::string_view hardware_id, const QMMassStorageFilterPayload& filter);

// Case-insensitive (ASCII) equality, for device names.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace velkin::qm
