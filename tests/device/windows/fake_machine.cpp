#include "fake_machine.h"

// ntddscsi.h and usbioctl.h need the control-code macros of winioctl.h.
#include <ntddscsi.h>
#include <usbioctl.h>
#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <span>

namespace velkin::qm::os::win::test {
namespace {

constexpr DWORD kDeviceNotConnected = ERROR_DEVICE_NOT_CONNECTED;

BOOL AnswerAdapter(const FakeAdapter& adapter, const IoctlRequest& request, DWORD& returned, DWORD& error) {
  STORAGE_PROPERTY_QUERY query{};
  if (!adapter.answers || request.in_size < sizeof query) {
    error = adapter.answers ? ERROR_INVALID_PARAMETER : ERROR_INVALID_FUNCTION;
    return FALSE;
  }
  std::memcpy(&query, request.in, sizeof query);
  if (query.PropertyId != StorageAdapterProperty || query.QueryType != PropertyStandardQuery ||
      request.out_size < sizeof(STORAGE_ADAPTER_DESCRIPTOR)) {
    error = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  STORAGE_ADAPTER_DESCRIPTOR descriptor{};
  descriptor.Version = sizeof descriptor;
  descriptor.Size = sizeof descriptor;
  descriptor.MaximumTransferLength = adapter.max_transfer;
  descriptor.MaximumPhysicalPages = adapter.max_transfer / 4096 + 1;
  descriptor.AlignmentMask = adapter.alignment_mask;
  descriptor.BusType = BusTypeUsb;
  std::memcpy(request.out, &descriptor, sizeof descriptor);
  returned = sizeof descriptor;
  return TRUE;
}

template <class Header>
BOOL RunPassThrough(FirmwareUnit& unit, const FakeAdapter& adapter, const IoctlRequest& request, DWORD& returned,
                    DWORD& error) {
  if (request.in_size < sizeof(Header) || request.out_size < sizeof(Header)) {
    error = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  Header header;
  std::memcpy(&header, request.in, sizeof header);
  if (header.Length != sizeof(Header) || header.CdbLength > sizeof header.Cdb) {
    error = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  const auto* in = static_cast<const std::uint8_t*>(request.in);
  auto* out = static_cast<std::uint8_t*>(request.out);
  const DWORD length = header.DataTransferLength;
  const bool reading = header.DataIn == SCSI_IOCTL_DATA_IN;
  if (header.SenseInfoLength > 0 && header.SenseInfoOffset + header.SenseInfoLength > request.out_size) {
    error = ERROR_INVALID_PARAMETER;
    return FALSE;
  }

  // Where the data phase lives: inside the record (buffered) or in the caller's buffer (direct).
  std::uint8_t* data = nullptr;
  std::vector<std::uint8_t> staged;
  if constexpr (std::is_same_v<Header, SCSI_PASS_THROUGH_DIRECT>) {
    if (length > 0 && header.DataBuffer == nullptr) {
      error = ERROR_INVALID_PARAMETER;
      return FALSE;
    }
    data = static_cast<std::uint8_t*>(header.DataBuffer);
    if (adapter.answers && (reinterpret_cast<std::uintptr_t>(data) & adapter.alignment_mask) != 0) {
      error = ERROR_INVALID_PARAMETER;
      return FALSE;
    }
  } else {
    const std::size_t offset = header.DataBufferOffset;
    // The data must lie inside what the system copies in (data out) and back (data in).
    if (length > 0 && (offset + length > request.out_size || (!reading && offset + length > request.in_size))) {
      error = ERROR_INVALID_PARAMETER;
      return FALSE;
    }
    staged.assign(length, 0);
    if (!reading && length > 0) std::memcpy(staged.data(), in + offset, length);
    data = staged.data();
  }

  if (adapter.answers && length > adapter.max_transfer) {
    error = ERROR_INVALID_PARAMETER;
    return FALSE;
  }

  const emu::Direction direction = length == 0 ? emu::Direction::kNone
                                   : reading   ? emu::Direction::kIn
                                               : emu::Direction::kOut;
  const emu::Response response = unit.firmware.Execute(std::span<const std::uint8_t>(header.Cdb, header.CdbLength),
                                                       direction, std::span<std::uint8_t>(data, length));
  if (response.kind == emu::Response::Kind::kTransportError) {
    error = response.os_error;
    return FALSE;
  }
  if (response.kind == emu::Response::Kind::kGone) {
    error = kDeviceNotConnected;
    return FALSE;
  }
  header.ScsiStatus = response.status();
  returned = sizeof header;
  if (response.kind == emu::Response::Kind::kGood) {
    header.DataTransferLength = response.transferred;
    if constexpr (!std::is_same_v<Header, SCSI_PASS_THROUGH_DIRECT>) {
      if (reading) {
        std::memcpy(out + header.DataBufferOffset, staged.data(), response.transferred);
        returned = static_cast<DWORD>(header.DataBufferOffset + response.transferred);
      }
    }
    header.SenseInfoLength = 0;
  } else {
    const auto sense = response.FixedSense();
    const std::size_t n = std::min<std::size_t>(header.SenseInfoLength, sense.size());
    std::memcpy(out + header.SenseInfoOffset, sense.data(), n);
    header.SenseInfoLength = static_cast<UCHAR>(n);
    header.DataTransferLength = 0;
  }
  std::memcpy(out, &header, sizeof header);
  return TRUE;
}

void PutUlong(void* at, ULONG value) {
  std::memcpy(at, &value, sizeof value);
}

ULONG GetUlong(const void* at) {
  ULONG value = 0;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// A name record: [connection index,] ActualLength, UTF-16 name. A record too small for the name
// gets the needed length and as much of the name as fits, as the hub driver does.
BOOL AnswerName(const IoctlRequest& request, std::size_t header, const std::string& name, DWORD& returned,
                DWORD& error) {
  if (request.out_size < header + sizeof(WCHAR) || request.in_size < header - sizeof(ULONG)) {
    error = ERROR_INSUFFICIENT_BUFFER;
    return FALSE;
  }
  std::u16string wide(name.begin(), name.end());
  wide.push_back(u'\0');
  const ULONG needed = static_cast<ULONG>(header + wide.size() * sizeof(char16_t));
  auto* out = static_cast<std::uint8_t*>(request.out);
  if (header == 8) PutUlong(out, GetUlong(request.in));
  PutUlong(out + header - sizeof(ULONG), needed);
  const std::size_t room = std::min<std::size_t>(request.out_size, needed) - header;
  std::memcpy(out + header, wide.data(), room);
  returned = static_cast<DWORD>(header + room);
  return TRUE;
}

USB_DEVICE_DESCRIPTOR Descriptor(std::uint16_t vendor, std::uint16_t product, bool hub) {
  USB_DEVICE_DESCRIPTOR descriptor{};
  descriptor.bLength = sizeof descriptor;
  descriptor.bDescriptorType = 1;
  descriptor.bcdUSB = 0x0200;
  descriptor.bDeviceClass = hub ? 9 : 0;
  descriptor.bMaxPacketSize0 = 64;
  descriptor.idVendor = vendor;
  descriptor.idProduct = product;
  descriptor.bcdDevice = 0x0100;
  descriptor.bNumConfigurations = 1;
  return descriptor;
}

BOOL AnswerHub(const FakeUsbHub& hub, const IoctlRequest& request, DWORD& returned, DWORD& error) {
  const auto port_of = [&](const void* in) -> const FakeUsbPort* {
    const ULONG index = GetUlong(in);
    return index >= 1 && index <= hub.ports.size() ? &hub.ports[index - 1] : nullptr;
  };
  switch (request.code) {
    case IOCTL_USB_GET_NODE_INFORMATION: {
      if (request.out_size < sizeof(USB_NODE_INFORMATION)) break;
      USB_NODE_INFORMATION node{};
      node.NodeType = UsbHub;
      node.u.HubInformation.HubDescriptor.bDescriptorLength = 9;
      node.u.HubInformation.HubDescriptor.bDescriptorType = 0x29;
      node.u.HubInformation.HubDescriptor.bNumberOfPorts = static_cast<UCHAR>(hub.ports.size());
      node.u.HubInformation.HubIsBusPowered = FALSE;
      std::memcpy(request.out, &node, sizeof node);
      returned = sizeof node;
      return TRUE;
    }
    case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX:
    case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION: {
      const bool newer = request.code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX;
      if (newer && !hub.knows_newer_request) {
        error = ERROR_INVALID_FUNCTION;
        return FALSE;
      }
      if (request.in_size < sizeof(ULONG) || request.out_size < sizeof(USB_NODE_CONNECTION_INFORMATION_EX)) break;
      const FakeUsbPort* port = port_of(request.in);
      if (port == nullptr) break;
      USB_NODE_CONNECTION_INFORMATION_EX info{};  // the older record has the same layout but for the speed byte
      info.ConnectionIndex = GetUlong(request.in);
      if (port->connected) {
        info.DeviceDescriptor = Descriptor(port->vendor, port->product, port->hub != nullptr);
        info.CurrentConfigurationValue = 1;
        info.Speed = newer ? (port->low_speed ? UsbLowSpeed : UsbHighSpeed) : (port->low_speed ? 1 : 0);
        info.DeviceIsHub = port->hub != nullptr;
        info.DeviceAddress = static_cast<USHORT>(info.ConnectionIndex + 1);
        info.NumberOfOpenPipes = 1;
        info.ConnectionStatus = DeviceConnected;
      }
      std::memset(request.out, 0, request.out_size);
      std::memcpy(request.out, &info, sizeof info);
      if (port->connected && request.out_size >= sizeof info + sizeof(USB_PIPE_INFO)) {
        USB_PIPE_INFO pipe{};
        pipe.EndpointDescriptor.bLength = 7;
        pipe.EndpointDescriptor.bDescriptorType = 5;
        pipe.EndpointDescriptor.bEndpointAddress = 0x81;
        pipe.EndpointDescriptor.bmAttributes = 2;
        pipe.EndpointDescriptor.wMaxPacketSize = 512;
        std::memcpy(static_cast<std::uint8_t*>(request.out) + sizeof info, &pipe, sizeof pipe);
      }
      returned = request.out_size;
      return TRUE;
    }
    case IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME: {
      const FakeUsbPort* port = request.in_size >= sizeof(ULONG) ? port_of(request.in) : nullptr;
      if (port == nullptr || !port->connected) break;
      return AnswerName(request, 8, port->driver_key, returned, error);
    }
    case IOCTL_USB_GET_NODE_CONNECTION_NAME: {
      const FakeUsbPort* port = request.in_size >= sizeof(ULONG) ? port_of(request.in) : nullptr;
      if (port == nullptr) break;
      // A port without a hub answers an empty name.
      return AnswerName(request, 8, port->hub != nullptr ? port->hub->name : "", returned, error);
    }
    default:
      error = ERROR_INVALID_FUNCTION;
      return FALSE;
  }
  error = ERROR_INVALID_PARAMETER;
  return FALSE;
}

}  // namespace

IoctlHandler PassThroughUnit(std::shared_ptr<FirmwareUnit> unit, FakeAdapter adapter) {
  return [unit, adapter](const IoctlRequest& request, DWORD& returned, DWORD& error) -> BOOL {
    switch (request.code) {
      case IOCTL_SCSI_PASS_THROUGH:
        return RunPassThrough<SCSI_PASS_THROUGH>(*unit, adapter, request, returned, error);
      case IOCTL_SCSI_PASS_THROUGH_DIRECT:
        return RunPassThrough<SCSI_PASS_THROUGH_DIRECT>(*unit, adapter, request, returned, error);
      case IOCTL_STORAGE_QUERY_PROPERTY:
        return AnswerAdapter(adapter, request, returned, error);
      default:
        error = ERROR_INVALID_FUNCTION;
        return FALSE;
    }
  };
}

namespace {

void InstallHubOnce(FakeWindows& system, const std::shared_ptr<FakeUsbHub>& hub, std::set<const FakeUsbHub*>& done) {
  if (!done.insert(hub.get()).second) return;
  system.AddDevice("\\\\.\\" + hub->name, [hub](const IoctlRequest& request, DWORD& returned, DWORD& error) {
    return AnswerHub(*hub, request, returned, error);
  });
  for (const auto& port : hub->ports) {
    if (port.hub) InstallHubOnce(system, port.hub, done);
  }
}

}  // namespace

void InstallHub(FakeWindows& system, const std::shared_ptr<FakeUsbHub>& hub) {
  std::set<const FakeUsbHub*> done;
  InstallHubOnce(system, hub, done);
}

void InstallController(FakeWindows& system, const std::string& path, const FakeHostController& controller) {
  system.AddDevice(path, [controller](const IoctlRequest& request, DWORD& returned, DWORD& error) -> BOOL {
    switch (request.code) {
      case IOCTL_GET_HCD_DRIVERKEY_NAME:
        return AnswerName(request, 4, controller.driver_key, returned, error);
      case IOCTL_USB_GET_ROOT_HUB_NAME:
        return AnswerName(request, 4, controller.root_hub_name, returned, error);
      default:
        error = ERROR_INVALID_FUNCTION;
        return FALSE;
    }
  });
}

FakeUsbPort DevicePort(std::uint16_t vendor, std::uint16_t product, const std::string& driver_key) {
  FakeUsbPort port;
  port.connected = true;
  port.vendor = vendor;
  port.product = product;
  port.driver_key = driver_key;
  return port;
}

FakeUsbPort HubPort(std::shared_ptr<FakeUsbHub> hub, const std::string& driver_key) {
  FakeUsbPort port = DevicePort(0x0B1A, 0x0004, driver_key);
  port.hub = std::move(hub);
  return port;
}

void SetList(FakeWindows& system, const std::string& key, const std::vector<std::string>& entries) {
  system.SetDword(key, "Count", static_cast<DWORD>(entries.size()));
  for (std::size_t i = 0; i < entries.size(); ++i) system.SetText(key, std::to_string(i), entries[i]);
}

}  // namespace velkin::qm::os::win::test
