#include "usb_device_info.h"

#include <algorithm>
#include <cstring>

#include "device/qmlib/os/backend.h"

namespace velkin::qm {
namespace {

std::string Cut(std::string_view text, std::size_t limit) {
  return std::string(text.substr(0, limit));
}

std::string_view TrimUnderscores(std::string_view field) {
  while (!field.empty() && field.back() == '_') field.remove_suffix(1);
  return field;
}

bool IsBlankOrUnderscore(char c) {
  return c == ' ' || c == '_';
}

bool SameText(std::string_view field, std::string_view text) {
  if (field.size() != text.size()) return false;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != text[i] && !(IsBlankOrUnderscore(field[i]) && IsBlankOrUnderscore(text[i]))) return false;
  }
  return true;
}

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string_view FixedText(const char (&field)[32]) {
  return std::string_view(field, static_cast<std::size_t>(std::find(field, field + sizeof field, '\0') - field));
}

}  // namespace

bool operator==(const QMMassStorageFilterPayload& a, const QMMassStorageFilterPayload& b) {
  return a.caller_value_a == b.caller_value_a && a.caller_value_b == b.caller_value_b && a.texts_set == b.texts_set &&
         std::memcmp(a.vendor, b.vendor, sizeof a.vendor) == 0 &&
         std::memcmp(a.product, b.product, sizeof a.product) == 0;
}

C_QMUsbDeviceInfo::C_QMUsbDeviceInfo(const os::DeviceRecord& record, const QMDeviceFilter& filter)
    : usb_vendor_id_(record.usb_vendor_id),
      usb_product_id_(record.usb_product_id),
      name_(Cut(record.name, 16)),
      path_(Cut(record.path, 255)),
      hardware_id_(Cut(record.hardware_id, 511)),
      filter_kind_(filter.kind),
      filter_option_(filter.option),
      hub_(record.hub),
      port_(record.port) {
  if (filter.payload != nullptr) {
    vendor_ = Cut(FixedText(filter.payload->vendor), 31);
    product_ = Cut(FixedText(filter.payload->product), 31);
    caller_value_a_ = filter.payload->caller_value_a;
    caller_value_b_ = filter.payload->caller_value_b;
  }
}

C_QMUsbDeviceInfo::C_QMUsbDeviceInfo(const C_QMUsbDeviceInfo& other) {
  *this = other;
}

C_QMUsbDeviceInfo& C_QMUsbDeviceInfo::operator=(const C_QMUsbDeviceInfo& other) {
  if (this == &other) return *this;
  std::int16_t hub = -1;
  std::int16_t port = -1;
  {
    std::lock_guard guard(other.topology_lock_);
    hub = other.hub_;
    port = other.port_;
  }
  std::lock_guard guard(topology_lock_);
  usb_vendor_id_ = other.usb_vendor_id_;
  usb_product_id_ = other.usb_product_id_;
  name_ = other.name_;
  vendor_ = other.vendor_;
  product_ = other.product_;
  path_ = other.path_;
  hardware_id_ = other.hardware_id_;
  filter_kind_ = other.filter_kind_;
  caller_value_a_ = other.caller_value_a_;
  filter_option_ = other.filter_option_;
  caller_value_b_ = other.caller_value_b_;
  open_error_ = other.open_error_;
  hub_ = hub;
  port_ = port;
  return *this;
}

void C_QMUsbDeviceInfo::LookUpHubAndPort() const {
  if (hub_ != -1 || port_ != -1) return;
  std::int16_t hub = -1;
  std::int16_t port = -1;
  if (os::ActiveBackend()->LookupHubPort(usb_vendor_id_, usb_product_id_, hub, port)) {
    hub_ = hub;
    port_ = port;
  }
}

std::int16_t C_QMUsbDeviceInfo::HubNumber() const {
  std::lock_guard guard(topology_lock_);
  LookUpHubAndPort();
  return hub_;
}

std::int16_t C_QMUsbDeviceInfo::PortNumber() const {
  std::lock_guard guard(topology_lock_);
  LookUpHubAndPort();
  return port_;
}

bool MatchesIdentity(std::string_view hardware_id, const QMMassStorageFilterPayload& filter) {
  // Empty vendor or product texts would make the match depend on what a device happens to leave
  // blank; such a filter matches nothing.
  if (filter.texts_set == 0) return false;
  std::string_view rest;
  if (hardware_id.starts_with("USBSTOR\\Disk")) {
    rest = hardware_id.substr(12);
  } else if (hardware_id.starts_with("USBSTOR\\CdRom")) {
    rest = hardware_id.substr(13);
  } else {
    return false;
  }
  const std::string_view vendor = TrimUnderscores(rest.substr(0, 8));
  const std::string_view product = TrimUnderscores(rest.substr(std::min<std::size_t>(rest.size(), 8), 16));
  if (vendor.empty()) return false;  // all underscores
  return SameText(vendor, FixedText(filter.vendor)) && SameText(product, FixedText(filter.product));
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

}  // namespace velkin::qm
