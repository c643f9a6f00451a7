// The USB topology walk: host controllers, their root hubs, external hubs and ports, read with
// the USB hub driver's control codes, and the lookup of the hub and port a device with given USB
// identifiers hangs on. Used where the registry keeps no location for a unit.
#pragma once

#include <windows.h>
// usbioctl.h needs the types of windows.h and the control-code macros of winioctl.h.
#include <usbioctl.h>
#include <winioctl.h>

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "device/qmlib/os/cl_array.h"

namespace velkin::qm::os::win {

static_assert(IOCTL_GET_HCD_DRIVERKEY_NAME == 0x220424);
static_assert(IOCTL_USB_GET_ROOT_HUB_NAME == 0x220408);
static_assert(IOCTL_USB_GET_NODE_INFORMATION == 0x220408);  // the same code, asked of a hub
static_assert(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX == 0x220448);
static_assert(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION == 0x22040C);
static_assert(IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME == 0x220420);
static_assert(IOCTL_USB_GET_NODE_CONNECTION_NAME == 0x220414);
// The hub driver's records are packed, the same on every architecture.
static_assert(sizeof(USB_NODE_INFORMATION) == 76);
static_assert(sizeof(USB_NODE_CONNECTION_INFORMATION_EX) == 35);
static_assert(sizeof(USB_NODE_CONNECTION_INFORMATION) == 35);
static_assert(sizeof(USB_PIPE_INFO) == 11);
static_assert(sizeof(USB_HCD_DRIVERKEY_NAME) == 6 && sizeof(USB_ROOT_HUB_NAME) == 6);
static_assert(sizeof(USB_NODE_CONNECTION_DRIVERKEY_NAME) == 10 && sizeof(USB_NODE_CONNECTION_NAME) == 10);

// The connection information of one port: USB_NODE_CONNECTION_INFORMATION_EX with room for 30
// pipes, as the hub driver fills it.
inline constexpr std::size_t kConnectionPipes = 30;
inline constexpr std::size_t kConnectionRecordSize =
    sizeof(USB_NODE_CONNECTION_INFORMATION_EX) + kConnectionPipes * sizeof(USB_PIPE_INFO);
static_assert(kConnectionRecordSize == 365);
using ConnectionRecord = std::array<std::uint8_t, kConnectionRecordSize>;

// The fixed part (connection index up to connection status) of a connection record.
USB_NODE_CONNECTION_INFORMATION_EX ConnectionHead(const ConnectionRecord& record);

class I_QMUsbDeviceTopologyHub;

class I_QMUsbDeviceTopologyPort {
 public:
  virtual ~I_QMUsbDeviceTopologyPort() = default;
  virtual bool IsHub() = 0;                  // a hub is attached (only when connected)
  virtual bool IsConnected() = 0;            // connection status non-zero
  virtual const char* Description() = 0;     // empty when nothing is connected
  virtual std::uint16_t UsbVendorId() = 0;   // 0xFFFF when nothing is connected
  virtual std::uint16_t UsbProductId() = 0;  // 0xFFFF when nothing is connected
  virtual I_QMUsbDeviceTopologyHub* ChildHub() = 0;
};

class I_QMUsbDeviceTopologyHub {
 public:
  virtual ~I_QMUsbDeviceTopologyHub() = default;
  virtual const char* Name() = 0;
  virtual const char* Description() = 0;
  virtual std::int16_t HubNumber() = 0;                              // -1 when the registry has none
  virtual std::uint32_t PortCount() = 0;                             // as the hub descriptor gives it
  virtual std::uint16_t UsbVendorId() = 0;                           // 0xFFFF for a root hub
  virtual std::uint16_t UsbProductId() = 0;                          // 0xFFFF for a root hub
  virtual I_QMUsbDeviceTopologyPort* Port(std::uint32_t index) = 0;  // null beyond the ports read
};

class C_QMUsbDeviceTopologyHub;

class C_QMUsbDeviceTopologyPort : public I_QMUsbDeviceTopologyPort {
 public:
  C_QMUsbDeviceTopologyPort();
  ~C_QMUsbDeviceTopologyPort() override;

  // Reads port `port_number` of the open hub; `depth` counts the hubs above this port.
  void Fill(HANDLE hub, std::uint32_t port_number, int depth);

  bool IsHub() override;
  bool IsConnected() override;
  const char* Description() override;
  std::uint16_t UsbVendorId() override;
  std::uint16_t UsbProductId() override;
  I_QMUsbDeviceTopologyHub* ChildHub() override;

  const ConnectionRecord& connection() const { return connection_; }

 private:
  ConnectionRecord connection_{};
  std::string description_;
  std::unique_ptr<C_QMUsbDeviceTopologyHub> child_;
};

class C_QMUsbDeviceTopologyHub : public I_QMUsbDeviceTopologyHub {
 public:
  // Walks the hub of symbolic name `name`: reads its node information and every port. A root
  // hub has no connection record. False when the hub cannot be opened or read.
  bool Walk(const std::string& name, const ConnectionRecord* connection, const std::string& description, int depth);

  const char* Name() override { return name_.c_str(); }
  const char* Description() override { return description_.c_str(); }
  std::int16_t HubNumber() override { return hub_number_; }
  std::uint32_t PortCount() override;
  std::uint16_t UsbVendorId() override;
  std::uint16_t UsbProductId() override;
  I_QMUsbDeviceTopologyPort* Port(std::uint32_t index) override;

  bool is_root() const { return root_; }
  // The hub number and 1-based port of the first device below this hub (depth first) with the
  // given identifiers.
  bool Find(std::uint16_t vendor, std::uint16_t product, std::int16_t& hub, std::int16_t& port);

 private:
  std::string name_;
  std::optional<std::array<std::uint8_t, sizeof(USB_NODE_CONNECTION_INFORMATION_EX)>> connection_head_;
  std::string description_;
  USB_NODE_INFORMATION node_{};
  bool root_ = false;
  std::int16_t hub_number_ = -1;
  C_CLCustomArray<C_QMUsbDeviceTopologyPort> ports_;
};

class C_QMUsbDeviceTopologyHostController {
 public:
  // Reads the controller behind the open handle: driver key name, PCI identity and root hub.
  // `known` are the controllers read so far: one with the same driver key is not read again.
  enum class Result { kAdded, kAlreadyListed, kDropped };
  Result Read(HANDLE controller, I_CLArray<std::unique_ptr<C_QMUsbDeviceTopologyHostController>>& known);

  const std::string& driver_key() const { return driver_key_; }
  std::uint16_t vendor_id() const { return vendor_id_; }
  std::uint16_t device_id() const { return device_id_; }
  std::uint32_t subsystem_id() const { return subsystem_id_; }
  std::uint32_t revision() const { return revision_; }
  const std::string& description() const { return description_; }
  C_QMUsbDeviceTopologyHub& root_hub() { return root_hub_; }

 private:
  std::string driver_key_;
  std::uint16_t vendor_id_ = 0;
  std::uint16_t device_id_ = 0;
  std::uint32_t subsystem_id_ = 0;
  std::uint32_t revision_ = 0;
  std::string description_;
  C_QMUsbDeviceTopologyHub root_hub_;
};

class I_QMUsbDeviceTopology {
 public:
  virtual ~I_QMUsbDeviceTopology() = default;
  virtual void Rebuild() = 0;
  virtual std::uint32_t HostControllerCount() = 0;
  virtual C_QMUsbDeviceTopologyHostController* HostController(std::uint32_t index) = 0;
};

class C_QMUsbDeviceTopology : public I_QMUsbDeviceTopology {
 public:
  // Reads the machine's controllers anew: "\\.\HCD0" to "\\.\HCD9", then the host controller
  // interface class; a controller reached both ways is listed once.
  void Rebuild() override;
  std::uint32_t HostControllerCount() override;
  C_QMUsbDeviceTopologyHostController* HostController(std::uint32_t index) override;

  // The next lookup rebuilds the tree.
  void MarkStale();
  // Hub number and port of the first device (depth first) with these USB identifiers; false
  // leaves both untouched. Rebuilds first when stale.
  bool Lookup(std::uint16_t vendor, std::uint16_t product, std::int16_t& hub, std::int16_t& port);

 private:
  void AddController(HANDLE controller);

  std::recursive_mutex lock_;
  bool stale_ = true;
  C_CLCustomArray<C_QMUsbDeviceTopologyHostController> controllers_;
};

// The process-wide walker.
C_QMUsbDeviceTopology& ProcessTopology();

}  // namespace velkin::qm::os::win
