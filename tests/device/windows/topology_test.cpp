// The USB topology walk on a fake machine: host controllers by name and by interface class, root
// and external hubs, both connection requests, hub numbers from the usbhub list, and the lookup
// a device record falls back to when the registry keeps no location.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "device/qmlib/os/backend.h"
#include "device/qmlib/os/windows/usb_topology.h"
#include "device/qmlib/usb_device_info.h"
#include "fake_machine.h"
#include "fake_windows.h"

namespace velkin::qm::os::win::test {
namespace {

const std::string kUsbClass = "{36FC9E60-C465-11CF-8056-444553540000}\\";
const std::string kHubGuid = "#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
const std::string kControllerInterface =
    "\\\\?\\pci#ven_1b36&dev_000d&subsys_11001af4&rev_01#3&267a616a&0&e8#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
constexpr std::uint16_t kUnitVendor = 0xC0FE;
constexpr std::uint16_t kUnitProduct = 0x0A51;

class WinTopology : public ::testing::Test {
 protected:
  void SetUp() override {
    // Controller A: "\\.\HCD0" and the interface path both lead to it. Its root hub has a
    // keyboard on port 1 and an external hub on port 2, with the unit on the hub's port 3.
    external_ = std::make_shared<FakeUsbHub>();
    external_->name = "USB#VID_0B1A&PID_0004#5&1d2e3f4a&0&2" + kHubGuid;
    external_->ports = {FakeUsbPort{}, FakeUsbPort{}, DevicePort(kUnitVendor, kUnitProduct, kUsbClass + "0004"),
                        FakeUsbPort{}};
    auto root_a = std::make_shared<FakeUsbHub>();
    root_a->name = "USB#ROOT_HUB20#4&2a3b4c5d&0" + kHubGuid;
    root_a->ports = {DevicePort(0x0B1A, 0x1001, kUsbClass + "0002"), HubPort(external_, kUsbClass + "0003"),
                     FakeUsbPort{}, FakeUsbPort{}};
    InstallHub(system_, root_a);
    const FakeHostController a{kUsbClass + "0000", root_a->name};
    InstallController(system_, "\\\\.\\HCD0", a);
    InstallController(system_, kControllerInterface, a);
    system_.AddInterface(kHostControllerClass, FakeInterface{kControllerInterface, {}, 0, false});

    // Controller B, by name only: one port, with a second unit of the same kind.
    auto root_b = std::make_shared<FakeUsbHub>();
    root_b->name = "USB#ROOT_HUB30#4&11223344&0" + kHubGuid;
    root_b->ports = {DevicePort(kUnitVendor, kUnitProduct, kUsbClass + "0006")};
    InstallHub(system_, root_b);
    InstallController(system_, "\\\\.\\HCD1", FakeHostController{kUsbClass + "0005", root_b->name});

    const DEVINST pci =
        system_.AddDevNode(system_.root(), "PCI\\VEN_1B36&DEV_000D&SUBSYS_11001AF4&REV_01\\3&267A616A&0&E8",
                           kUsbClass + "0000", "Standard Enhanced PCI to USB Host Controller");
    const DEVINST hub_a = system_.AddDevNode(pci, "USB\\ROOT_HUB20\\4&2A3B4C5D&0", kUsbClass + "0001", "USB Root Hub");
    system_.AddDevNode(hub_a, "USB\\VID_0B1A&PID_1001\\6&1&1", kUsbClass + "0002", "USB Input Device");
    const DEVINST hub =
        system_.AddDevNode(hub_a, "USB\\VID_0B1A&PID_0004\\5&1D2E3F4A&0&2", kUsbClass + "0003", "Generic USB Hub");
    system_.AddDevNode(hub, "USB\\VID_C0FE&PID_0A51\\0123456789ABCDEF", kUsbClass + "0004", "USB Mass Storage Device");
    const DEVINST xhci = system_.AddDevNode(system_.root(), "PCI\\VEN_1B36&DEV_000E&SUBSYS_11001AF4&REV_02\\3&1&0",
                                            kUsbClass + "0005", "Standard USB 3.0 Host Controller");
    system_.AddDevNode(xhci, "USB\\VID_C0FE&PID_0A51\\FEDCBA9876543210", kUsbClass + "0006", "USB Mass Storage Device");

    // Eleven hubs known to the hub driver; the external hub is entry "10".
    std::vector<std::string> hubs = {"USB\\ROOT_HUB20\\4&2a3b4c5d&0"};
    for (int i = 1; i < 10; ++i) hubs.push_back("USB\\VID_0B1A&PID_0004\\5&0&" + std::to_string(i));
    hubs[7] = "USB\\ROOT_HUB30\\4&11223344&0";
    hubs.push_back("USB\\VID_0B1A&PID_0004\\5&1d2e3f4a&0&2");
    SetList(system_, kUsbHubEnum, hubs);
  }

  void TearDown() override {
    EXPECT_EQ(system_.open_handles(), 0u) << "a handle was not closed";
    EXPECT_EQ(system_.open_keys(), 0u) << "a registry key was not closed";
    EXPECT_EQ(system_.open_device_info_sets(), 0u);
    EXPECT_EQ(system_.bad_closes(), 0u);
  }

  std::size_t Opens(const std::string& path) const {
    return static_cast<std::size_t>(std::count_if(system_.opens().begin(), system_.opens().end(),
                                                  [&](const OpenCall& open) { return open.path == path; }));
  }

  FakeWindows system_;
  std::shared_ptr<FakeUsbHub> external_;
};

TEST_F(WinTopology, AControllerReachedBothWaysIsListedOnce) {
  C_QMUsbDeviceTopology topology;
  topology.Rebuild();
  ASSERT_EQ(topology.HostControllerCount(), 2u);
  EXPECT_EQ(topology.HostController(2), nullptr);

  C_QMUsbDeviceTopologyHostController& a = *topology.HostController(0);
  EXPECT_EQ(a.driver_key(), kUsbClass + "0000");
  EXPECT_EQ(a.vendor_id(), 0x1B36);
  EXPECT_EQ(a.device_id(), 0x000D);
  EXPECT_EQ(a.subsystem_id(), 0x11001AF4u);
  EXPECT_EQ(a.revision(), 1u);
  EXPECT_EQ(a.description(), "Standard Enhanced PCI to USB Host Controller");
  EXPECT_EQ(topology.HostController(1)->driver_key(), kUsbClass + "0005");

  // All ten names are tried, then the interface class; each with write access and sharing.
  for (int n = 0; n < 10; ++n) EXPECT_EQ(Opens("\\\\.\\HCD" + std::to_string(n)), 1u) << n;
  EXPECT_EQ(Opens(kControllerInterface), 1u);
  for (const auto& open : system_.opens()) {
    EXPECT_EQ(open.access, static_cast<DWORD>(GENERIC_WRITE)) << open.path;
    EXPECT_EQ(open.share, static_cast<DWORD>(FILE_SHARE_WRITE)) << open.path;
    EXPECT_EQ(open.disposition, static_cast<DWORD>(OPEN_EXISTING)) << open.path;
  }
  ASSERT_EQ(system_.class_devs_calls().size(), 1u);
  EXPECT_TRUE(IsEqualGUID(system_.class_devs_calls()[0].interface_class, kHostControllerClass));
  EXPECT_EQ(system_.class_devs_calls()[0].flags, 0x12u);
  // The second route stops at the driver key: its root hub is not walked again.
  EXPECT_EQ(system_.IoctlsTo(kControllerInterface).size(), 2u);
}

TEST_F(WinTopology, HubsAndPortsAreReadDepthFirst) {
  C_QMUsbDeviceTopology topology;
  topology.Rebuild();
  C_QMUsbDeviceTopologyHub& root = topology.HostController(0)->root_hub();
  EXPECT_TRUE(root.is_root());
  EXPECT_STREQ(root.Description(), "RootHub");
  EXPECT_STREQ(root.Name(), ("USB#ROOT_HUB20#4&2a3b4c5d&0" + kHubGuid).c_str());
  EXPECT_EQ(root.HubNumber(), 1);
  EXPECT_EQ(root.PortCount(), 4u);
  EXPECT_EQ(root.UsbVendorId(), 0xFFFF);
  EXPECT_EQ(root.Port(4), nullptr);

  I_QMUsbDeviceTopologyPort& keyboard = *root.Port(0);
  EXPECT_TRUE(keyboard.IsConnected());
  EXPECT_FALSE(keyboard.IsHub());
  EXPECT_STREQ(keyboard.Description(), "USB Input Device");
  EXPECT_EQ(keyboard.UsbProductId(), 0x1001);

  I_QMUsbDeviceTopologyPort& hub_port = *root.Port(1);
  ASSERT_TRUE(hub_port.IsHub());
  I_QMUsbDeviceTopologyHub& hub = *hub_port.ChildHub();
  EXPECT_STREQ(hub.Name(), external_->name.c_str());
  EXPECT_STREQ(hub.Description(), "Generic USB Hub");
  EXPECT_EQ(hub.HubNumber(), 11) << "entry \"10\" of the usbhub list";
  EXPECT_EQ(hub.UsbVendorId(), 0x0B1A);
  EXPECT_EQ(hub.UsbProductId(), 0x0004);
  EXPECT_STREQ(hub.Port(2)->Description(), "USB Mass Storage Device");
  EXPECT_EQ(hub.Port(2)->UsbVendorId(), kUnitVendor);

  I_QMUsbDeviceTopologyPort& empty = *root.Port(3);
  EXPECT_FALSE(empty.IsConnected());
  EXPECT_EQ(empty.UsbVendorId(), 0xFFFF);
  EXPECT_STREQ(empty.Description(), "");
  EXPECT_EQ(empty.ChildHub(), nullptr);

  // The node information and the connection requests as the hub driver takes them.
  const auto calls = system_.IoctlsTo("\\\\.\\" + external_->name);
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[0].code, 0x220408u);
  EXPECT_EQ(calls[0].in_size, 76u);
  EXPECT_EQ(calls[0].out_size, 76u);
  EXPECT_EQ(calls[1].code, 0x220448u);
  EXPECT_EQ(calls[1].in_size, 365u);
  EXPECT_EQ(calls[1].out_size, 365u);
  EXPECT_EQ(calls[1].in[0], 1) << "connection index = port number";
  // The driver key of port 3: a 10-byte probe, then the full record.
  const auto probe = std::find_if(calls.begin(), calls.end(), [](const IoctlCall& c) { return c.code == 0x220420; });
  ASSERT_NE(probe, calls.end());
  EXPECT_EQ(probe->in_size, 10u);
  EXPECT_EQ(probe->in[0], 3);
  EXPECT_EQ((probe + 1)->code, 0x220420u);
  EXPECT_GT((probe + 1)->in_size, 10u);
}

TEST_F(WinTopology, ADeviceBehindAnExternalHubIsFoundWithThatHubsNumber) {
  C_QMUsbDeviceTopology topology;
  std::int16_t hub = -1;
  std::int16_t port = -1;
  ASSERT_TRUE(topology.Lookup(kUnitVendor, kUnitProduct, hub, port));
  EXPECT_EQ(hub, 11);
  EXPECT_EQ(port, 3);

  ASSERT_TRUE(topology.Lookup(0x0B1A, 0x1001, hub, port));
  EXPECT_EQ(hub, 1);
  EXPECT_EQ(port, 1);

  // A hub itself is searched, not matched.
  hub = 77;
  port = 88;
  EXPECT_FALSE(topology.Lookup(0x0B1A, 0x0004, hub, port));
  EXPECT_FALSE(topology.Lookup(0x1234, 0x5678, hub, port));
  EXPECT_EQ(hub, 77);
  EXPECT_EQ(port, 88);
}

TEST_F(WinTopology, AnEmptyUsbHubEntryBeginsNoName) {
  SetList(system_, kUsbHubEnum, {"", "USB\\ROOT_HUB20\\4&2a3b4c5d&0"});
  C_QMUsbDeviceTopology topology;
  std::int16_t hub = -1;
  std::int16_t port = -1;
  ASSERT_TRUE(topology.Lookup(0x0B1A, 0x1001, hub, port));
  EXPECT_EQ(hub, 2);
  ASSERT_TRUE(topology.Lookup(kUnitVendor, kUnitProduct, hub, port));
  EXPECT_EQ(hub, -1) << "the external hub is not listed";
  EXPECT_EQ(port, 3);
}

TEST_F(WinTopology, OlderHubDriversAnswerTheOlderConnectionRequest) {
  external_->knows_newer_request = false;
  external_->ports[0] = DevicePort(0x0B1A, 0x2002, kUsbClass + "0010");
  external_->ports[0].low_speed = true;
  C_QMUsbDeviceTopology topology;
  std::int16_t hub = -1;
  std::int16_t port = -1;
  ASSERT_TRUE(topology.Lookup(kUnitVendor, kUnitProduct, hub, port));
  EXPECT_EQ(hub, 11);
  EXPECT_EQ(port, 3);

  auto& external = *static_cast<C_QMUsbDeviceTopologyPort*>(topology.HostController(0)->root_hub().Port(1));
  auto& ports = *static_cast<C_QMUsbDeviceTopologyHub*>(external.ChildHub());
  constexpr std::size_t kSpeedAt = 4 + 18 + 1;  // after the connection index, descriptor and configuration
  EXPECT_EQ(static_cast<C_QMUsbDeviceTopologyPort*>(ports.Port(0))->connection()[kSpeedAt], 0) << "low speed";
  EXPECT_EQ(static_cast<C_QMUsbDeviceTopologyPort*>(ports.Port(2))->connection()[kSpeedAt], 1) << "full speed";
  EXPECT_EQ(ports.Port(0)->UsbProductId(), 0x2002);

  const auto calls = system_.IoctlsTo("\\\\.\\" + external_->name);
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(calls[1].code, 0x220448u);
  EXPECT_EQ(calls[2].code, 0x22040Cu);
  EXPECT_EQ(calls[2].in_size, 365u);
}

TEST_F(WinTopology, ControllersThatCannotBeReadAreDropped) {
  // One whose node is no PCI device, one whose root hub cannot be opened, one without a name.
  system_.AddDevNode(system_.root(), "ACPI\\PNP0A03\\0", kUsbClass + "0020", "Odd Controller");
  InstallController(system_, "\\\\.\\HCD2", FakeHostController{kUsbClass + "0020", "USB#ROOT_HUB#odd" + kHubGuid});
  system_.AddDevNode(system_.root(), "PCI\\VEN_1B36&DEV_0010&SUBSYS_0&REV_0\\1", kUsbClass + "0021", "Gone");
  InstallController(system_, "\\\\.\\HCD3", FakeHostController{kUsbClass + "0021", "USB#ROOT_HUB#gone" + kHubGuid});
  InstallController(system_, "\\\\.\\HCD4", FakeHostController{"", "USB#ROOT_HUB#none" + kHubGuid});

  C_QMUsbDeviceTopology topology;
  topology.Rebuild();
  EXPECT_EQ(topology.HostControllerCount(), 2u);
  EXPECT_EQ(Opens("\\\\.\\USB#ROOT_HUB#gone" + kHubGuid), 1u);
}

TEST_F(WinTopology, AHubThatNamesItselfDoesNotWalkForEver) {
  auto loop = std::make_shared<FakeUsbHub>();
  loop->name = "USB#VID_0B1A&PID_0004#loop" + kHubGuid;
  loop->ports = {HubPort(nullptr, kUsbClass + "0030")};
  loop->ports[0].hub = loop;  // answers its own name for its port
  external_->ports[3] = HubPort(loop, kUsbClass + "0030");
  InstallHub(system_, external_);
  C_QMUsbDeviceTopology topology;
  std::int16_t hub = -1;
  std::int16_t port = -1;
  EXPECT_TRUE(topology.Lookup(kUnitVendor, kUnitProduct, hub, port));
  EXPECT_LE(Opens("\\\\.\\" + loop->name), 8u);
  loop->ports.clear();  // breaks the reference cycle
}

TEST_F(WinTopology, ARecordWithoutLocationAsksTheWalkWhichRebuildsOnlyWhenStale) {
  std::shared_ptr<Backend> backend = CreatePlatformBackend();
  backend->MarkTopologyStale();
  DeviceRecord unit;
  unit.path = "\\\\?\\usbstor#cdrom&ven_quamira&prod_voxa_cdrom&rev_1.00#0123456789abcdef&0#{53f56308}";
  unit.name = "0123456789abcdef";
  unit.usb_vendor_id = kUnitVendor;
  unit.usb_product_id = kUnitProduct;
  const C_QMUsbDeviceInfo info(unit, QMDeviceFilter{});
  EXPECT_EQ(info.HubNumber(), 11);
  EXPECT_EQ(info.PortNumber(), 3);
  EXPECT_EQ(Opens("\\\\.\\HCD0"), 1u);

  const C_QMUsbDeviceInfo again(unit, QMDeviceFilter{});
  EXPECT_EQ(again.PortNumber(), 3);
  EXPECT_EQ(Opens("\\\\.\\HCD0"), 1u) << "the tree is kept while it is fresh";

  // The unit moved to controller B's port: after the agent's next enumeration the walk sees it.
  external_->ports[2] = FakeUsbPort{};
  backend->MarkTopologyStale();
  const C_QMUsbDeviceInfo moved(unit, QMDeviceFilter{});
  EXPECT_EQ(moved.HubNumber(), 8);
  EXPECT_EQ(moved.PortNumber(), 1);
  EXPECT_EQ(Opens("\\\\.\\HCD0"), 2u);
  backend->MarkTopologyStale();  // nothing of this machine is kept for later tests
}

}  // namespace
}  // namespace velkin::qm::os::win::test
