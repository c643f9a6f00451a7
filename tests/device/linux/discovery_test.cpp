// Discovery on the Linux backend: the sg nodes libudev lists, their hardware IDs, USB
// identifiers, hub and port, and the identity match picking the unit among them.
#include <algorithm>
#include <cstring>

#include "bed_fixture.h"
#include "device/qmlib/device_agent.h"
#include "device/qmlib/os/backend.h"
#include "device/qmlib/os/linux/udev_discovery.h"

namespace velkin::test::linux_bed {
namespace {

using qm::os::DeviceRecord;
using qm::os::DeviceRecords;

const DeviceRecord* ByName(const DeviceRecords& records, const std::string& name) {
  const auto it = std::find_if(records.begin(), records.end(), [&](const DeviceRecord& r) { return r.name == name; });
  return it != records.end() ? &*it : nullptr;
}

int HostOf(const Unit& unit) {
  return std::stoi(unit.address.substr(0, unit.address.find(':')));
}

qm::QMMassStorageFilterPayload Filter(const char* vendor, const char* product) {
  qm::QMMassStorageFilterPayload payload;
  payload.texts_set = 1;
  std::strncpy(payload.vendor, vendor, sizeof payload.vendor - 1);
  std::strncpy(payload.product, product, sizeof payload.product - 1);
  return payload;
}

// The machine of the tests: the unit behind an external hub, an unrelated USB disk straight on
// the root hub, a disk and an enclosure on a PCI SCSI adapter.
class DiscoveryTest : public BedTest {
 protected:
  void SetUp() override {
    BedTest::SetUp();
    if (HasFatalFailure()) return;
    root_ = bed().AddRootHub(1);
    hub_ = bed().AddHub(root_, "1-2", 2);
    unit_ = bed().PlugUsbUnit(hub_, "1-2.3", {0xC0FE, 0x0A51, 5}, {}, 0);
    usb_disk_ = bed().PlugUsbUnit(root_, "1-1", kOtherDiskUsb, kOtherDiskScsi, 1);
    scsi_disk_ = bed().PlugPciScsiUnit({"ACME    ", "SCSI DISK       ", "0004", 0}, 2);
    bed().PlugPciScsiUnit({"ACME    ", "ENCLOSURE       ", "0001", 13}, 3);
  }

  static DeviceRecords List() {
    DeviceRecords records;
    EXPECT_TRUE(qm::os::CreatePlatformBackend()->ListDevices(records));
    return records;
  }

  std::string root_;
  std::string hub_;
  Unit unit_;
  Unit usb_disk_;
  Unit scsi_disk_;
};

TEST_F(DiscoveryTest, ListsDiskAndCdRomUnitsWithPathNameHardwareIdIdentifiersHubAndPort) {
  const DeviceRecords records = List();
  ASSERT_EQ(records.size(), 2u) << "the enclosure is no disk or CD-ROM unit, and the PCI disk is off the USB";

  const DeviceRecord* unit = ByName(records, unit_.name);
  ASSERT_NE(unit, nullptr);
  EXPECT_EQ(unit->path, "/dev/sg0");
  EXPECT_EQ(unit->hardware_id, "USBSTOR\\CdRomQUAMIRA_VOXA_CDROM______1.00");
  EXPECT_EQ(unit->usb_vendor_id, 0xC0FE);
  EXPECT_EQ(unit->usb_product_id, 0x0A51);
  EXPECT_EQ(unit->hub, 1 * 128 + 2) << "the external hub: device 2 on bus 1";
  EXPECT_EQ(unit->port, 3) << "1-2.3 hangs on port 3";

  const DeviceRecord* usb_disk = ByName(records, usb_disk_.name);
  ASSERT_NE(usb_disk, nullptr);
  EXPECT_EQ(usb_disk->path, "/dev/sg1");
  EXPECT_EQ(usb_disk->hardware_id, "USBSTOR\\DiskGENERIC_USB_DISK________2.00");
  EXPECT_EQ(usb_disk->usb_vendor_id, 0x0BDA);
  EXPECT_EQ(usb_disk->usb_product_id, 0x0129);
  EXPECT_EQ(usb_disk->hub, 1 * 128 + 1) << "the root hub is device 1 on its bus";
  EXPECT_EQ(usb_disk->port, 1);

  // Disk units come before CD-ROM units, as the two interface classes are walked on Windows.
  EXPECT_EQ(records.back().name, unit_.name);
}

TEST_F(DiscoveryTest, TheIdentityMatchPicksTheUnitAndKnowsItsPlace) {
  qm::C_QMMassStorageDeviceAgent agent;
  const auto payload = Filter("QUAMIRA", "VOXA CDROM");
  ASSERT_EQ(agent.Enumerate({qm::kFilterMassStorage, 2, &payload}), qm::kQmOk);
  ASSERT_EQ(agent.Count(), 1);
  const qm::C_QMUsbDeviceInfo* info = agent.DeviceInfo(0);
  ASSERT_NE(info, nullptr);
  EXPECT_STREQ(info->Name(), unit_.name.c_str());
  EXPECT_EQ(info->InterfacePath(), "/dev/sg0");
  EXPECT_EQ(info->UsbVendorId(), 0xC0FE);
  EXPECT_EQ(info->HubNumber(), 130);
  EXPECT_EQ(info->PortNumber(), 3);

  const auto disk = Filter("GENERIC", "USB DISK");
  ASSERT_EQ(agent.Enumerate({qm::kFilterMassStorage, 2, &disk}), qm::kQmOk);
  ASSERT_EQ(agent.Count(), 1);
  EXPECT_STREQ(agent.DeviceInfo(0)->Name(), usb_disk_.name.c_str());

  // No prefix matching and case counts.
  const auto shorter = Filter("QUAMIR", "VOXA CDROM");
  ASSERT_EQ(agent.Enumerate({qm::kFilterMassStorage, 2, &shorter}), qm::kQmOk);
  EXPECT_EQ(agent.Count(), 0);
  const auto lower = Filter("quamira", "VOXA CDROM");
  ASSERT_EQ(agent.Enumerate({qm::kFilterMassStorage, 2, &lower}), qm::kQmOk);
  EXPECT_EQ(agent.Count(), 0);
}

// Windows lists only units behind USB mass storage; an internal disk whose INQUIRY texts match
// must not be found (it would be erased).
TEST_F(DiscoveryTest, AUnitOffTheUsbIsNeverFoundEvenWhenItsTextsMatch) {
  qm::C_QMMassStorageDeviceAgent agent;
  const auto payload = Filter("ACME", "SCSI DISK");
  ASSERT_EQ(agent.Enumerate({qm::kFilterMassStorage, 2, &payload}), qm::kQmOk);
  EXPECT_EQ(agent.Count(), 0);
  bed().PlugPciScsiUnit({"QUAMIRA ", "VOXA CDROM      ", "1.00", 5}, 4);
  const auto unit = Filter("QUAMIRA", "VOXA CDROM");
  ASSERT_EQ(agent.Enumerate({qm::kFilterMassStorage, 2, &unit}), qm::kQmOk);
  ASSERT_EQ(agent.Count(), 1);
  EXPECT_STREQ(agent.DeviceInfo(0)->Name(), unit_.name.c_str());
}

TEST_F(DiscoveryTest, HubAndPortAreFoundByUsbIdentifiers) {
  auto backend = qm::os::CreatePlatformBackend();
  std::int16_t hub = 0;
  std::int16_t port = 0;
  ASSERT_TRUE(backend->LookupHubPort(0xC0FE, 0x0A51, hub, port));
  EXPECT_EQ(hub, 130);
  EXPECT_EQ(port, 3);
  ASSERT_TRUE(backend->LookupHubPort(0x1A40, 0x0101, hub, port)) << "the external hub itself";
  EXPECT_EQ(hub, 129);
  EXPECT_EQ(port, 2);

  hub = 77;
  port = 78;
  EXPECT_FALSE(backend->LookupHubPort(0x1234, 0x5678, hub, port));
  EXPECT_FALSE(backend->LookupHubPort(0x1D6B, 0x0002, hub, port)) << "a root hub hangs on no port";
  EXPECT_FALSE(backend->LookupHubPort(0xFFFF, 0xFFFF, hub, port)) << "the identifiers of a unit off the USB";
  EXPECT_EQ(hub, 77);
  EXPECT_EQ(port, 78);
}

TEST_F(DiscoveryTest, APluggedAgainUnitComesBackUnderANewName) {
  bed().Unplug(unit_);
  DeviceRecords records = List();
  EXPECT_EQ(records.size(), 1u);
  EXPECT_EQ(ByName(records, unit_.name), nullptr);

  // The kernel hands the freed SCSI host number out again; the USB device number is new.
  const Unit again = bed().PlugUsbUnit(hub_, "1-2.3", {0xC0FE, 0x0A51, 6}, {}, 0, HostOf(unit_));
  records = List();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(again.address, unit_.address);
  EXPECT_EQ(again.name, "usb1.6.0");
  EXPECT_EQ(ByName(records, unit_.name), nullptr);
  const DeviceRecord* unit = ByName(records, again.name);
  ASSERT_NE(unit, nullptr);
  EXPECT_EQ(unit->path, "/dev/sg0");
  EXPECT_EQ(unit->port, 3);
}

TEST_F(DiscoveryTest, UnpaddedSysfsTextsGiveTheSamePaddedHardwareId) {
  bed().Unplug(unit_);
  const Unit plain = bed().PlugUsbUnit(hub_, "1-2.3", {0xC0FE, 0x0A51, 6}, {"QUAMIRA", "VOXA CDROM", "1.00  ", 5}, 0);
  const DeviceRecords records = List();
  const DeviceRecord* unit = ByName(records, plain.name);
  ASSERT_NE(unit, nullptr);
  EXPECT_EQ(unit->hardware_id, "USBSTOR\\CdRomQUAMIRA_VOXA_CDROM______1.00");
}

// A tray labelled by hub and port: the root ports of two buses (or of a controller's USB 2 and
// USB 3 halves) share port numbers, and every root hub is device 1 on its bus.
TEST_F(BedTest, UnitsOnTheSamePortOfTwoBusesHaveHubsOfTheirOwn) {
  const std::string bus1 = bed().AddRootHub(1);
  const std::string bus2 = bed().AddRootHub(2);
  bed().PlugUsbUnit(bus1, "1-4", {0xC0FE, 0x0A51, 5}, {}, 0);
  bed().PlugUsbUnit(bus2, "2-4", {0xC0FE, 0x0A51, 5}, {}, 1);
  DeviceRecords records;
  ASSERT_TRUE(qm::os::CreatePlatformBackend()->ListDevices(records));
  ASSERT_EQ(records.size(), 2u);
  const DeviceRecord* first = ByName(records, "usb1.5.0");
  const DeviceRecord* second = ByName(records, "usb2.5.0");
  ASSERT_TRUE(first && second) << "the same device number on two buses names two units";
  EXPECT_EQ(first->port, 4);
  EXPECT_EQ(second->port, 4);
  EXPECT_EQ(first->hub, 129);
  EXPECT_EQ(second->hub, 257);
}

TEST(UsbHubNumber, BusTimes128PlusDeviceNumberWithin16Bits) {
  using qm::os::linux_os::HubNumber;
  EXPECT_EQ(HubNumber(1, 1), 129);
  EXPECT_EQ(HubNumber(3, 12), 396);
  EXPECT_EQ(HubNumber(255, 127), 32767);
  EXPECT_EQ(HubNumber(0, 1), std::nullopt);
  EXPECT_EQ(HubNumber(256, 1), std::nullopt);
  EXPECT_EQ(HubNumber(1, 0), std::nullopt);
  EXPECT_EQ(HubNumber(1, 128), std::nullopt);
}

TEST(UsbDevicePath, ThePortIsTheLastNumber) {
  using qm::os::linux_os::PortOfDevicePath;
  EXPECT_EQ(PortOfDevicePath("1-2.3"), 3);
  EXPECT_EQ(PortOfDevicePath("2.3"), 3);
  EXPECT_EQ(PortOfDevicePath("1-2"), 2);
  EXPECT_EQ(PortOfDevicePath("2"), 2);
  EXPECT_EQ(PortOfDevicePath("3-1.4.12"), 12);
  EXPECT_EQ(PortOfDevicePath("0"), std::nullopt) << "a root hub's own path";
  EXPECT_EQ(PortOfDevicePath("usb1"), std::nullopt);
  EXPECT_EQ(PortOfDevicePath("1-2."), std::nullopt);
  EXPECT_EQ(PortOfDevicePath(""), std::nullopt);
}

}  // namespace
}  // namespace velkin::test::linux_bed
