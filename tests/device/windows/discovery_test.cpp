// Discovery on Windows: the two interface classes walked with SetupAPI, the record built from the
// interface path, the USBSTOR registry lookup for identifiers, hub and port, and the agent finding
// and matching units through it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "device/qmlib/device_agent.h"
#include "device/qmlib/os/backend.h"
#include "fake_machine.h"
#include "fake_windows.h"
#include "tests/support/scoped_env.h"

namespace velkin::qm::os::win::test {
namespace {

const std::string kDiskPath =
    "\\\\?\\usbstor#disk&ven_quamira&prod_voxa_disk&rev_1.00#0123456789abcdef&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
const std::string kDiskUsb = "USB\\VID_C0FE&PID_0A52\\0123456789ABCDEF";
// A unit without a serial number: its instance text comes from its USB parent's ParentIdPrefix,
// and is shorter than a name.
const std::string kCdRomPath =
    "\\\\?\\usbstor#cdrom&ven_quamira&prod_voxa_cdrom&rev_1.00#7&1a2b3c4d&0&0#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
const std::string kCdRomUsb = "USB\\VID_C0FE&PID_0A51\\5&3f4e5d6c&0&2";
const std::string kOtherUsb = "USB\\VID_0B1A&PID_7001\\FEDCBA9876543210";

FakeInterface Member(const std::string& path, const std::string& first_hardware_id) {
  FakeInterface member;
  member.path = path;
  // Windows lists the most specific ID first, then ever shorter ones.
  member.hardware_ids = {first_hardware_id, first_hardware_id.substr(0, first_hardware_id.size() - 4),
                         "USBSTOR\\GenDisk", "GenDisk"};
  return member;
}

class WinDiscovery : public ::testing::Test {
 protected:
  void SetUp() override {
    system_.AddInterface(kDiskClass, Member(kDiskPath, "USBSTOR\\DiskQUAMIRA_VOXA_DISK_______1.00"));
    system_.AddInterface(kCdRomClass, Member(kCdRomPath, "USBSTOR\\CdRomQUAMIRA_VOXA_CDROM______1.00"));
    SetList(system_, kUsbStorEnum, {kOtherUsb, kCdRomUsb, kDiskUsb});
    AddUsbDevice(kOtherUsb, "Port_#0001.Hub_#0001");
    AddUsbDevice(kDiskUsb, "Port_#0003.Hub_#0004");
    AddUsbDevice(kCdRomUsb, "Port_#0002.Hub_#000B");
    system_.SetText(kEnumRoot + kCdRomUsb, "ParentIdPrefix", "7&1a2b3c4d&0");
  }

  void TearDown() override {
    EXPECT_EQ(system_.open_device_info_sets(), 0u) << "a device information set was not destroyed";
    EXPECT_EQ(system_.open_keys(), 0u) << "a registry key was not closed";
    EXPECT_EQ(system_.open_handles(), 0u) << "a handle was not closed";
    EXPECT_EQ(system_.bad_closes(), 0u);
  }

  void AddUsbDevice(const std::string& instance, const std::string& location) {
    system_.AddKey(kEnumRoot + instance);
    if (!location.empty()) system_.SetText(kEnumRoot + instance, "LocationInformation", location);
  }

  DeviceRecords List(bool expect_success = true) {
    DeviceRecords records;
    EXPECT_EQ(CreatePlatformBackend()->ListDevices(records), expect_success);
    return records;
  }

  bool Queried(const std::string& value) const {
    const auto& all = system_.queried_values();
    return std::any_of(all.begin(), all.end(), [&](const std::string& v) { return EqualsIgnoringCase(v, value); });
  }

  FakeWindows system_;
};

TEST_F(WinDiscovery, DiskUnitsComeFirstThenCdRomUnitsEachWithItsRegistryIdentity) {
  const DeviceRecords records = List();
  ASSERT_EQ(records.size(), 2u);

  EXPECT_EQ(records[0].path, kDiskPath);
  EXPECT_EQ(records[0].name, "0123456789abcdef");
  EXPECT_EQ(records[0].hardware_id, "USBSTOR\\DiskQUAMIRA_VOXA_DISK_______1.00");
  EXPECT_EQ(records[0].usb_vendor_id, 0xC0FE);
  EXPECT_EQ(records[0].usb_product_id, 0x0A52);
  EXPECT_EQ(records[0].port, 3);
  EXPECT_EQ(records[0].hub, 4);

  EXPECT_EQ(records[1].path, kCdRomPath);
  EXPECT_EQ(records[1].name, "7&1a2b3c4d&0&0#{") << "a short instance text runs on into the class part";
  EXPECT_EQ(records[1].hardware_id, "USBSTOR\\CdRomQUAMIRA_VOXA_CDROM______1.00");
  EXPECT_EQ(records[1].usb_vendor_id, 0xC0FE);
  EXPECT_EQ(records[1].usb_product_id, 0x0A51);
  EXPECT_EQ(records[1].port, 2);
  EXPECT_EQ(records[1].hub, 11);

  const auto& calls = system_.class_devs_calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_TRUE(IsEqualGUID(calls[0].interface_class, kDiskClass));
  EXPECT_TRUE(IsEqualGUID(calls[1].interface_class, kCdRomClass));
  for (const auto& call : calls) {
    EXPECT_EQ(call.flags, 0x12u);
    EXPECT_FALSE(call.enumerator_given);
    EXPECT_FALSE(call.window_given);
  }
  EXPECT_TRUE(Queried(kUsbStorEnum + "\\Count"));
}

TEST_F(WinDiscovery, PathsWithoutRevOrItsTwoHashesYieldNoRecord) {
  system_.AddInterface(kDiskClass,
                       Member("\\\\?\\usbstor#disk&ven_quamira&prod_voxa_disk#0123456789abcdef&0#{53f56307}",
                              "USBSTOR\\DiskQUAMIRA_VOXA_DISK_______1.00"));
  system_.AddInterface(kDiskClass, Member("\\\\?\\usbstor#disk&ven_quamira&prod_voxa_disk&REV_1.00#0123456789abcdef&0",
                                          "USBSTOR\\DiskQUAMIRA_VOXA_DISK_______1.00"));
  system_.AddInterface(kDiskClass, Member("\\\\?\\usbstor#disk&ven_quamira&prod_voxa_disk&rev_1.00#0123456789abcdef&0",
                                          "USBSTOR\\DiskQUAMIRA_VOXA_DISK_______1.00"));
  const DeviceRecords records = List();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].path, kDiskPath);
  EXPECT_EQ(records[1].path, kCdRomPath);
}

TEST_F(WinDiscovery, AllTwelveUsbStorEntriesAreExamined) {
  std::vector<std::string> entries;
  for (int i = 0; i < 10; ++i) {
    entries.push_back("USB\\VID_0B1A&PID_70" + std::to_string(10 + i) + "\\SERIAL" + std::to_string(i));
    AddUsbDevice(entries.back(), "Port_#0001.Hub_#0001");
  }
  entries.push_back(kCdRomUsb);
  entries.push_back(kDiskUsb);
  SetList(system_, kUsbStorEnum, entries);

  const DeviceRecords records = List();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].usb_product_id, 0x0A52) << "entry 11";
  EXPECT_EQ(records[0].hub, 4);
  EXPECT_EQ(records[1].usb_product_id, 0x0A51) << "entry 10";
  EXPECT_EQ(records[1].hub, 11);
  EXPECT_TRUE(Queried(kUsbStorEnum + "\\10"));
  EXPECT_TRUE(Queried(kUsbStorEnum + "\\11"));
}

TEST_F(WinDiscovery, BeforeVersionSixOnlyTheIdentifiersAreKnown) {
  // Earlier systems write the identifiers in mixed case and no location.
  const std::string disk_usb = "USB\\Vid_c0fe&Pid_0a52\\0123456789ABCDEF";
  SetList(system_, kUsbStorEnum, {disk_usb});
  AddUsbDevice(disk_usb, "");
  system_.SetWindowsVersion(5, 1);

  const DeviceRecords records = List();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].usb_vendor_id, 0xC0FE);
  EXPECT_EQ(records[0].usb_product_id, 0x0A52);
  EXPECT_EQ(records[0].hub, -1);
  EXPECT_EQ(records[0].port, -1);
  EXPECT_FALSE(Queried(kEnumRoot + disk_usb + "\\LocationInformation"));

  // From version 6 on, the mixed-case form is not the system's and gives no identifiers.
  system_.SetWindowsVersion(6, 0);
  system_.SetText(kEnumRoot + disk_usb, "LocationInformation", "Port_#0003.Hub_#0004");
  const DeviceRecords later = List();
  EXPECT_EQ(later[0].usb_vendor_id, 0xFFFF);
  EXPECT_EQ(later[0].hub, 4);
}

TEST_F(WinDiscovery, AMatchWithoutLocationGoesOnToTheNextEntry) {
  // The same unit seen earlier under another product identifier, whose key kept no location.
  const std::string earlier = "USB\\VID_C0FE&PID_0A50\\0123456789ABCDEF";
  AddUsbDevice(earlier, "");
  SetList(system_, kUsbStorEnum, {earlier, kDiskUsb});
  const DeviceRecords records = List();
  EXPECT_EQ(records[0].usb_product_id, 0x0A52);
  EXPECT_EQ(records[0].port, 3);
  EXPECT_EQ(records[0].hub, 4);
}

TEST_F(WinDiscovery, AnEmptyParentPrefixOrInstancePartClaimsNoUnit) {
  // Damaged entries that would begin every instance text.
  const std::string trailing = "USB\\VID_0B1A&PID_0001\\";
  const std::string empty_prefix = "USB\\VID_0B1A&PID_0002\\5&0&1";
  AddUsbDevice(trailing, "Port_#0009.Hub_#0009");
  AddUsbDevice(empty_prefix, "Port_#0009.Hub_#0009");
  system_.SetText(kEnumRoot + empty_prefix, "ParentIdPrefix", "");
  SetList(system_, kUsbStorEnum, {trailing, empty_prefix, kDiskUsb});
  const DeviceRecords records = List();
  EXPECT_EQ(records[0].usb_product_id, 0x0A52);
  EXPECT_EQ(records[0].hub, 4);
}

TEST_F(WinDiscovery, WithoutRegistryEntriesTheIdentityStaysUnknown) {
  SetList(system_, kUsbStorEnum, {"USB\\VID_C0FE&PID_0A52\\UNKNOWN0000000000"});
  const DeviceRecords records = List();
  ASSERT_EQ(records.size(), 2u);
  for (const auto& record : records) {
    EXPECT_EQ(record.usb_vendor_id, 0xFFFF);
    EXPECT_EQ(record.usb_product_id, 0xFFFF);
    EXPECT_EQ(record.hub, -1);
    EXPECT_EQ(record.port, -1);
  }
}

TEST_F(WinDiscovery, UnreadableMembersAreSkipped) {
  FakeInterface refused =
      Member("\\\\?\\usbstor#disk&ven_x&prod_y&rev_1#refused0000000&0#{53f56307}", "USBSTOR\\Diskx");
  refused.enumerate_error = ERROR_INVALID_PARAMETER;
  FakeInterface no_detail =
      Member("\\\\?\\usbstor#disk&ven_x&prod_y&rev_1#nodetail000000&0#{53f56307}", "USBSTOR\\Diskx");
  no_detail.detail_fails = true;
  FakeInterface no_id = Member("\\\\?\\usbstor#disk&ven_x&prod_y&rev_1#noid0000000000&0#{53f56307}", "");
  no_id.hardware_ids.clear();
  system_.AddInterface(kDiskClass, refused);
  system_.AddInterface(kDiskClass, no_detail);
  system_.AddInterface(kDiskClass, no_id);

  const DeviceRecords records = List();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1].name, "noid0000000000&0");
  EXPECT_EQ(records[1].hardware_id, "") << "no property: a record that matches nothing";
  EXPECT_EQ(records[2].path, kCdRomPath);
}

TEST_F(WinDiscovery, AClassThatNeverEndsIsCutShort) {
  // A system that keeps failing members instead of reporting the end.
  system_.NeverEndClass(kDiskClass, ERROR_GEN_FAILURE);
  const DeviceRecords records = List();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].path, kDiskPath);
  EXPECT_EQ(records[1].path, kCdRomPath);
  EXPECT_LE(system_.endless_answers(), 100u);
}

TEST_F(WinDiscovery, WithoutTheDiskClassThereIsNoListWithoutTheCdRomClassTheWalkEnds) {
  system_.FailClass(kCdRomClass);
  DeviceRecords records = List();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].path, kDiskPath);

  system_.FailClass(kDiskClass);
  List(false);
}

TEST_F(WinDiscovery, TheAgentOpensAndMatchesUnitsOfBothClasses) {
  ::velkin::test::UnsetEnv(kEmulatorVariable);
  auto disk = std::make_shared<FirmwareUnit>();
  system_.AddDevice(kDiskPath, PassThroughUnit(disk));
  system_.AddDevice(kCdRomPath, PassThroughUnit(std::make_shared<FirmwareUnit>()));

  C_QMMassStorageDeviceAgent agent;
  QMMassStorageFilterPayload payload;
  payload.texts_set = 1;
  std::strcpy(payload.vendor, "QUAMIRA");
  std::strcpy(payload.product, "VOXA CDROM");
  QMDeviceFilter filter;
  filter.payload = &payload;
  ASSERT_EQ(agent.Enumerate(filter), kQmOk);
  ASSERT_EQ(agent.Count(), 1);
  const C_QMUsbDeviceInfo* info = agent.DeviceInfo(0);
  EXPECT_EQ(info->InterfacePath(), kCdRomPath);
  EXPECT_STREQ(info->Name(), "7&1a2b3c4d&0&0#{");
  EXPECT_EQ(info->HubNumber(), 11);
  EXPECT_EQ(info->PortNumber(), 2);
  // Both units were opened once to be tested, and closed again.
  EXPECT_EQ(system_.opens().size(), 2u);
  EXPECT_EQ(system_.open_handles(), 0u);

  std::strcpy(payload.product, "VOXA DISK");
  ASSERT_EQ(agent.Enumerate(filter), kQmOk);
  ASSERT_EQ(agent.Count(), 1);
  EXPECT_EQ(agent.DeviceInfo(0)->InterfacePath(), kDiskPath);
  EXPECT_EQ(agent.DeviceInfo(0)->UsbProductId(), 0x0A52);

  // Opened, the unit answers on its handle; pulled out, it no longer does.
  I_QMUsbDevice* device = nullptr;
  ASSERT_EQ(agent.OpenEntry(0, true, &device), kQmOk);
  RetainedRef<I_QMUsbDevice> held(device);
  EXPECT_EQ(agent.CheckEntry(0), kQmOk);
  system_.RemoveDevice(kDiskPath);
  EXPECT_EQ(agent.CheckEntry(0), kQmNoAnswer);
  device->Close();
}

}  // namespace
}  // namespace velkin::qm::os::win::test
