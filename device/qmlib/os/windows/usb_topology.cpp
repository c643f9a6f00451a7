#include "usb_topology.h"

#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "interface_list.h"
#include "registry_values.h"
#include "win32_handles.h"

namespace velkin::qm::os::win {
namespace {

constexpr int kHostControllerNames = 10;  // "\\.\HCD0" to "\\.\HCD9"
constexpr const char* kUsbHubEnumKey = "SYSTEM\\CurrentControlSet\\services\\usbhub\\Enum";
constexpr DWORD kHubInstancePathChars = 255;
constexpr std::size_t kKeyNameChars = 255;       // driver keys, descriptions
constexpr std::size_t kSymbolicNameChars = 259;  // hub names
// USB allows at most five external hubs in a chain; a deeper chain can only come from a broken
// answer and would otherwise be followed without end.
constexpr int kDeepestHub = 7;
// Names are short; a length beyond this is not believed.
constexpr ULONG kLargestNameRecord = 64 * 1024;

// The hub driver's name records: a length word (after the connection index for the per-port
// ones), then the UTF-16 name.
struct NameLayout {
  std::size_t probe_size;     // the fixed record, the first call's size
  std::size_t length_offset;  // of ActualLength
  std::size_t name_offset;
  bool per_port;  // starts with the connection index
};
constexpr NameLayout kControllerName{sizeof(USB_HCD_DRIVERKEY_NAME), offsetof(USB_HCD_DRIVERKEY_NAME, ActualLength),
                                     offsetof(USB_HCD_DRIVERKEY_NAME, DriverKeyName), false};
constexpr NameLayout kPortName{sizeof(USB_NODE_CONNECTION_NAME), offsetof(USB_NODE_CONNECTION_NAME, ActualLength),
                               offsetof(USB_NODE_CONNECTION_NAME, NodeName), true};
static_assert(offsetof(USB_ROOT_HUB_NAME, RootHubName) == offsetof(USB_HCD_DRIVERKEY_NAME, DriverKeyName));
static_assert(offsetof(USB_NODE_CONNECTION_DRIVERKEY_NAME, DriverKeyName) ==
              offsetof(USB_NODE_CONNECTION_NAME, NodeName));

// A UTF-16 name from the hub driver, in the ANSI code page, at most `max_chars` characters.
std::string NarrowName(const std::uint8_t* bytes, std::size_t byte_count, std::size_t max_chars) {
  std::wstring wide(byte_count / sizeof(wchar_t), L'\0');
  std::memcpy(wide.data(), bytes, wide.size() * sizeof(wchar_t));
  wide.resize(std::wcslen(wide.c_str()));
  if (wide.empty()) return {};
  std::string narrow(max_chars, '\0');
  const int n = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), narrow.data(),
                                    static_cast<int>(max_chars), nullptr, nullptr);
  narrow.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return narrow;
}

void PutUlong(std::uint8_t* at, ULONG value) {
  std::memcpy(at, &value, sizeof value);
}

ULONG GetUlong(const std::uint8_t* at) {
  ULONG value = 0;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// Asks for a name record: a probe of the fixed size gives the needed length (which must exceed
// the probe), then the full record.
std::optional<std::string> ReadName(HANDLE handle, DWORD code, const NameLayout& layout, ULONG connection_index,
                                    std::size_t max_chars) {
  std::vector<std::uint8_t> record(layout.probe_size, 0);
  if (layout.per_port) PutUlong(record.data(), connection_index);
  DWORD returned = 0;
  const DWORD probe = static_cast<DWORD>(record.size());
  if (!Api().DeviceIoControl(handle, code, record.data(), probe, record.data(), probe, &returned, nullptr)) {
    return std::nullopt;
  }
  const ULONG needed = GetUlong(record.data() + layout.length_offset);
  if (needed <= layout.probe_size || needed > kLargestNameRecord) return std::nullopt;

  record.assign(needed, 0);
  if (layout.per_port) PutUlong(record.data(), connection_index);
  if (!Api().DeviceIoControl(handle, code, record.data(), needed, record.data(), needed, &returned, nullptr)) {
    return std::nullopt;
  }
  return NarrowName(record.data() + layout.name_offset, needed - layout.name_offset, max_chars);
}

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

std::string DevNodeText(DEVINST node, ULONG property) {
  char buffer[kKeyNameChars + 1] = {};
  ULONG length = kKeyNameChars;
  if (Api().CM_Get_DevNode_Registry_PropertyA(node, property, nullptr, buffer, &length, 0) != CR_SUCCESS) return {};
  return std::string(buffer, strnlen(buffer, kKeyNameChars));
}

// The device node whose driver key is `driver_key` (without regard to case), searched depth
// first from the root of the device tree.
std::optional<DEVINST> FindDevNode(std::string_view driver_key) {
  DEVINST root = 0;
  if (Api().CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) return std::nullopt;
  DEVINST node = root;
  for (;;) {
    if (EqualsIgnoringCase(DevNodeText(node, CM_DRP_DRIVER), driver_key)) return node;
    DEVINST next = 0;
    if (Api().CM_Get_Child(&next, node, 0) == CR_SUCCESS) {
      node = next;
      continue;
    }
    // No children: the next sibling of this node or of the nearest ancestor that has one.
    for (;;) {
      if (node == root) return std::nullopt;
      if (Api().CM_Get_Sibling(&next, node, 0) == CR_SUCCESS) {
        node = next;
        break;
      }
      if (Api().CM_Get_Parent(&next, node, 0) != CR_SUCCESS) return std::nullopt;
      node = next;
    }
  }
}

UniqueHandle OpenForControl(const std::string& path) {
  return UniqueHandle(
      Api().CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
}

// Whether the usbhub instance path `entry` begins the hub's symbolic name, where the instance
// path's backslashes stand for the name's '#'.
bool InstanceBeginsName(std::string_view entry, std::string_view name) {
  if (entry.empty() || entry.size() > name.size()) return false;
  for (std::size_t i = 0; i < entry.size(); ++i) {
    if (entry[i] == '\\' ? name[i] != '#' : entry[i] != name[i]) return false;
  }
  return true;
}

std::int16_t HubNumberOf(std::string_view symbolic_name) {
  UniqueKey key;
  if (!key.OpenMachineKey(kUsbHubEnumKey)) return -1;
  const auto count = ReadDwordValue(key.get(), "Count");
  if (!count) return -1;
  for (DWORD i = 0; i < *count; ++i) {
    const auto entry = ReadTextValue(key.get(), std::to_string(i).c_str(), kHubInstancePathChars);
    if (!entry) return -1;
    if (InstanceBeginsName(*entry, symbolic_name)) return static_cast<std::int16_t>(i + 1);
  }
  return -1;
}

// The older connection record has a low-speed flag where the newer one has the speed.
ConnectionRecord FromOlderRecord(const ConnectionRecord& older) {
  USB_NODE_CONNECTION_INFORMATION old;
  std::memcpy(&old, older.data(), sizeof old);
  USB_NODE_CONNECTION_INFORMATION_EX now;
  std::memset(&now, 0, sizeof now);
  now.ConnectionIndex = old.ConnectionIndex;
  now.DeviceDescriptor = old.DeviceDescriptor;
  now.CurrentConfigurationValue = old.CurrentConfigurationValue;
  now.Speed = old.LowSpeed ? UsbLowSpeed : UsbFullSpeed;
  now.DeviceIsHub = old.DeviceIsHub;
  now.DeviceAddress = old.DeviceAddress;
  now.NumberOfOpenPipes = old.NumberOfOpenPipes;
  now.ConnectionStatus = old.ConnectionStatus;
  ConnectionRecord record{};
  std::memcpy(record.data(), &now, sizeof now);
  std::memcpy(record.data() + sizeof now, older.data() + sizeof old, record.size() - sizeof now);
  return record;
}

}  // namespace

USB_NODE_CONNECTION_INFORMATION_EX ConnectionHead(const ConnectionRecord& record) {
  USB_NODE_CONNECTION_INFORMATION_EX head;
  std::memcpy(&head, record.data(), sizeof head);
  return head;
}

// ---- ports

C_QMUsbDeviceTopologyPort::C_QMUsbDeviceTopologyPort() = default;
C_QMUsbDeviceTopologyPort::~C_QMUsbDeviceTopologyPort() = default;

void C_QMUsbDeviceTopologyPort::Fill(HANDLE hub, std::uint32_t port_number, int depth) {
  connection_.fill(0);
  description_.clear();
  ConnectionRecord record{};
  PutUlong(record.data(), port_number);
  DWORD returned = 0;
  const DWORD size = static_cast<DWORD>(record.size());
  if (Api().DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, record.data(), size, record.data(), size,
                            &returned, nullptr)) {
    connection_ = record;
  } else {
    // Hub drivers before the newer request know only the older one.
    ConnectionRecord older{};
    PutUlong(older.data(), port_number);
    if (!Api().DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, older.data(), size, older.data(), size,
                               &returned, nullptr)) {
      child_.reset();
      return;  // the port stays empty
    }
    connection_ = FromOlderRecord(older);
  }

  const USB_NODE_CONNECTION_INFORMATION_EX head = ConnectionHead(connection_);
  if (head.ConnectionStatus != NoDeviceConnected) {
    if (const auto key =
            ReadName(hub, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, kPortName, port_number, kKeyNameChars)) {
      if (const auto node = FindDevNode(*key)) description_ = DevNodeText(*node, CM_DRP_DEVICEDESC);
    }
  }

  child_.reset();
  if (head.DeviceIsHub && depth < kDeepestHub) {
    if (const auto name =
            ReadName(hub, IOCTL_USB_GET_NODE_CONNECTION_NAME, kPortName, port_number, kSymbolicNameChars)) {
      auto child = std::make_unique<C_QMUsbDeviceTopologyHub>();
      if (child->Walk(*name, &connection_, description_, depth + 1)) child_ = std::move(child);
    }
  }
}

bool C_QMUsbDeviceTopologyPort::IsConnected() {
  return ConnectionHead(connection_).ConnectionStatus != NoDeviceConnected;
}

bool C_QMUsbDeviceTopologyPort::IsHub() {
  return IsConnected() && ConnectionHead(connection_).DeviceIsHub;
}

const char* C_QMUsbDeviceTopologyPort::Description() {
  return IsConnected() ? description_.c_str() : "";
}

std::uint16_t C_QMUsbDeviceTopologyPort::UsbVendorId() {
  return IsConnected() ? ConnectionHead(connection_).DeviceDescriptor.idVendor : 0xFFFF;
}

std::uint16_t C_QMUsbDeviceTopologyPort::UsbProductId() {
  return IsConnected() ? ConnectionHead(connection_).DeviceDescriptor.idProduct : 0xFFFF;
}

I_QMUsbDeviceTopologyHub* C_QMUsbDeviceTopologyPort::ChildHub() {
  return child_.get();
}

// ---- hubs

bool C_QMUsbDeviceTopologyHub::Walk(const std::string& name, const ConnectionRecord* connection,
                                    const std::string& description, int depth) {
  ports_.RemoveAll();
  name_ = name.substr(0, kSymbolicNameChars);
  connection_head_.reset();
  if (connection != nullptr) {
    connection_head_.emplace();
    std::memcpy(connection_head_->data(), connection->data(), connection_head_->size());
  }
  description_ = description.substr(0, kKeyNameChars);
  root_ = connection == nullptr;
  hub_number_ = -1;

  UniqueHandle hub = OpenForControl("\\\\.\\" + name_);
  if (!hub.valid()) return false;
  std::memset(&node_, 0, sizeof node_);
  DWORD returned = 0;
  if (!Api().DeviceIoControl(hub.get(), IOCTL_USB_GET_NODE_INFORMATION, &node_, sizeof node_, &node_, sizeof node_,
                             &returned, nullptr)) {
    return false;
  }
  for (std::uint32_t number = 1; number <= PortCount(); ++number) {
    auto port = std::make_unique<C_QMUsbDeviceTopologyPort>();
    port->Fill(hub.get(), number, depth);
    ports_.Append(std::move(port));
  }
  hub.Reset();
  hub_number_ = HubNumberOf(name_);
  return true;
}

std::uint32_t C_QMUsbDeviceTopologyHub::PortCount() {
  return node_.u.HubInformation.HubDescriptor.bNumberOfPorts;
}

std::uint16_t C_QMUsbDeviceTopologyHub::UsbVendorId() {
  if (!connection_head_) return 0xFFFF;
  USB_NODE_CONNECTION_INFORMATION_EX head;
  std::memcpy(&head, connection_head_->data(), sizeof head);
  return head.DeviceDescriptor.idVendor;
}

std::uint16_t C_QMUsbDeviceTopologyHub::UsbProductId() {
  if (!connection_head_) return 0xFFFF;
  USB_NODE_CONNECTION_INFORMATION_EX head;
  std::memcpy(&head, connection_head_->data(), sizeof head);
  return head.DeviceDescriptor.idProduct;
}

I_QMUsbDeviceTopologyPort* C_QMUsbDeviceTopologyHub::Port(std::uint32_t index) {
  return index < ports_.Count() ? ports_.At(index).get() : nullptr;
}

bool C_QMUsbDeviceTopologyHub::Find(std::uint16_t vendor, std::uint16_t product, std::int16_t& hub,
                                    std::int16_t& port) {
  for (std::size_t i = 0; i < ports_.Count(); ++i) {
    C_QMUsbDeviceTopologyPort& candidate = *ports_.At(i);
    if (!candidate.IsConnected()) continue;
    if (ConnectionHead(candidate.connection()).DeviceIsHub) {
      auto* child = static_cast<C_QMUsbDeviceTopologyHub*>(candidate.ChildHub());
      if (child != nullptr && child->Find(vendor, product, hub, port)) return true;
    } else if (candidate.UsbVendorId() == vendor && candidate.UsbProductId() == product) {
      hub = hub_number_;
      port = static_cast<std::int16_t>(i + 1);
      return true;
    }
  }
  return false;
}

// ---- host controllers

C_QMUsbDeviceTopologyHostController::Result C_QMUsbDeviceTopologyHostController::Read(
    HANDLE controller, I_CLArray<std::unique_ptr<C_QMUsbDeviceTopologyHostController>>& known) {
  auto key = ReadName(controller, IOCTL_GET_HCD_DRIVERKEY_NAME, kControllerName, 0, kKeyNameChars);
  if (!key) return Result::kDropped;
  for (std::size_t i = 0; i < known.Count(); ++i) {
    if (EqualsIgnoringCase(known.At(i)->driver_key(), *key)) return Result::kAlreadyListed;
  }
  driver_key_ = std::move(*key);

  const auto node = FindDevNode(driver_key_);
  if (!node) return Result::kDropped;
  char id[MAX_DEVICE_ID_LEN + 1] = {};
  if (Api().CM_Get_Device_IDA(*node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return Result::kDropped;
  description_ = DevNodeText(*node, CM_DRP_DEVICEDESC);
  unsigned vendor = 0;
  unsigned device = 0;
  unsigned subsystem = 0;
  unsigned revision = 0;
  if (std::sscanf(id, "PCI\\VEN_%x&DEV_%x&SUBSYS_%x&REV_%x", &vendor, &device, &subsystem, &revision) != 4) {
    return Result::kDropped;
  }
  vendor_id_ = static_cast<std::uint16_t>(vendor);
  device_id_ = static_cast<std::uint16_t>(device);
  subsystem_id_ = subsystem;
  revision_ = revision;

  const auto root_hub = ReadName(controller, IOCTL_USB_GET_ROOT_HUB_NAME, kControllerName, 0, kSymbolicNameChars);
  if (!root_hub || !root_hub_.Walk(*root_hub, nullptr, "RootHub", 0)) return Result::kDropped;
  return Result::kAdded;
}

// ---- the walker

void C_QMUsbDeviceTopology::Rebuild() {
  std::lock_guard guard(lock_);
  controllers_.RemoveAll();
  for (int n = 0; n < kHostControllerNames; ++n) {
    UniqueHandle controller = OpenForControl("\\\\.\\HCD" + std::to_string(n));
    if (controller.valid()) AddController(controller.get());
  }
  DeviceInterfaceList interfaces(kUsbHostControllerInterfaceClass);
  while (const auto member = interfaces.Next()) {
    UniqueHandle controller = OpenForControl(member->path);
    if (controller.valid()) AddController(controller.get());
  }
  stale_ = false;
}

void C_QMUsbDeviceTopology::AddController(HANDLE controller) {
  auto candidate = std::make_unique<C_QMUsbDeviceTopologyHostController>();
  if (candidate->Read(controller, controllers_) == C_QMUsbDeviceTopologyHostController::Result::kAdded) {
    controllers_.Append(std::move(candidate));
  }
}

std::uint32_t C_QMUsbDeviceTopology::HostControllerCount() {
  std::lock_guard guard(lock_);
  return static_cast<std::uint32_t>(controllers_.Count());
}

C_QMUsbDeviceTopologyHostController* C_QMUsbDeviceTopology::HostController(std::uint32_t index) {
  std::lock_guard guard(lock_);
  return index < controllers_.Count() ? controllers_.At(index).get() : nullptr;
}

void C_QMUsbDeviceTopology::MarkStale() {
  std::lock_guard guard(lock_);
  stale_ = true;
}

bool C_QMUsbDeviceTopology::Lookup(std::uint16_t vendor, std::uint16_t product, std::int16_t& hub, std::int16_t& port) {
  std::lock_guard guard(lock_);
  if (stale_) Rebuild();
  for (std::size_t i = 0; i < controllers_.Count(); ++i) {
    if (controllers_.At(i)->root_hub().Find(vendor, product, hub, port)) return true;
  }
  return false;
}

C_QMUsbDeviceTopology& ProcessTopology() {
  static C_QMUsbDeviceTopology topology;
  return topology;
}

}  // namespace velkin::qm::os::win
