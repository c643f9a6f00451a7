// The agent's list rules (keep, replace, purge), its entry checks, and the device table's
// re-seating by name, on virtual devices.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <filesystem>

#include "device/qmlib/device_agent.h"
#include "device/qmlib/open_device_table.h"
#include "device/qmlib/opened_unit.h"
#include "tests/support/virtual_devices.h"

namespace velkin::qm {
namespace {

using test::VirtualDevices;
using test::VirtualDeviceSetup;

class Agent : public ::testing::Test {
 protected:
  QMDeviceFilter Filter(const char* vendor = "QUAMIRA", const char* product = "VOXA CDROM") {
    payload_ = QMMassStorageFilterPayload{};
    payload_.texts_set = 1;
    std::strncpy(payload_.vendor, vendor, 31);
    std::strncpy(payload_.product, product, 31);
    QMDeviceFilter filter;
    filter.option = 2;
    filter.payload = &payload_;
    return filter;
  }
  // The device object of entry i, retained by the returned holder.
  RetainedRef<I_QMUsbDevice> Entry(std::int32_t index, bool open = false) {
    I_QMUsbDevice* device = nullptr;
    EXPECT_EQ(agent_.OpenEntry(index, open, &device), kQmOk);
    return RetainedRef<I_QMUsbDevice>(device);
  }
  // The folder part of entry i's name ("<folder>@<hash>").
  std::string NameAt(std::int32_t index) {
    const C_QMUsbDeviceInfo* info = agent_.DeviceInfo(index);
    if (info == nullptr) return "<none>";
    const std::string name = info->Name();
    return name.substr(0, name.find('@'));
  }

  VirtualDevices devices_;
  QMMassStorageFilterPayload payload_;
  C_QMMassStorageDeviceAgent agent_;
};

TEST_F(Agent, ListsMatchingUnitsDisksFirst) {
  VirtualDeviceSetup disk;
  disk.cdrom = false;
  VirtualDeviceSetup other;
  other.product = "OTHER";
  devices_.Create("b-cdrom");
  devices_.Create("a-cdrom");
  devices_.Create("z-disk", disk);
  devices_.Create("c-other", other);
  ASSERT_EQ(agent_.Enumerate(Filter()), kQmOk);
  ASSERT_EQ(agent_.Count(), 3);
  EXPECT_EQ(NameAt(0), "z-disk");
  EXPECT_EQ(NameAt(1), "a-cdrom");
  EXPECT_EQ(NameAt(2), "b-cdrom");
  EXPECT_EQ(agent_.DeviceInfo(3), nullptr);
  EXPECT_EQ(agent_.DeviceInfo(-1), nullptr);

  const C_QMUsbDeviceInfo* info = agent_.DeviceInfo(0);
  EXPECT_EQ(info->HardwareId(), "USBSTOR\\DiskQUAMIRA_VOXA_CDROM______1.00");
  EXPECT_STREQ(info->VendorText(), "QUAMIRA");
  EXPECT_STREQ(info->ProductText(), "VOXA CDROM");
  EXPECT_EQ(info->FilterKind(), 1);
  EXPECT_EQ(info->FilterOption(), 2);
  EXPECT_EQ(info->UsbVendorId(), 0xC0FE);
  EXPECT_EQ(info->UsbProductId(), 0x0A51);
  EXPECT_EQ(info->HubNumber(), 1);
  EXPECT_EQ(info->PortNumber(), 1);

  std::string upper = agent_.DeviceInfo(1)->Name();
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_NE(upper, agent_.DeviceInfo(1)->Name());
  EXPECT_EQ(agent_.IndexOfName(upper.c_str()), 1);  // without regard to case
  EXPECT_EQ(agent_.IndexOfName("c-other"), -1);
  EXPECT_EQ(agent_.IndexOfName("a-cdrom"), -1);
}

TEST_F(Agent, KnownDeviceKeepsItsObjectAcrossEnumerations) {
  devices_.Create("dev");
  ASSERT_EQ(agent_.Enumerate(Filter()), kQmOk);
  auto first = Entry(0, true);
  ASSERT_TRUE(first);
  ASSERT_EQ(agent_.Enumerate(Filter()), kQmOk);
  ASSERT_EQ(agent_.Count(), 1);
  auto again = Entry(0);
  EXPECT_EQ(again.get(), first.get());
  void* internal = nullptr;
  ASSERT_EQ(first->QueryInterface(kInterfaceInternal, &internal), kQmOk);
  EXPECT_TRUE(static_cast<I_QMUsbDeviceInternal*>(internal)->IsOpen());  // its handle is kept

  // Closed, it is kept too (opened, tested and closed again).
  first->Close();
  ASSERT_EQ(agent_.Enumerate(Filter()), kQmOk);
  EXPECT_EQ(Entry(0).get(), first.get());
  EXPECT_FALSE(static_cast<I_QMUsbDeviceInternal*>(internal)->IsOpen());
}

TEST_F(Agent, NewFilterReplacesEveryObject) {
  devices_.Create("dev");
  ASSERT_EQ(agent_.Enumerate(Filter()), kQmOk);
  auto first = Entry(0);
  // Other texts that match the same unit: the list is emptied first all the same.
  ASSERT_EQ(agent_.Enumerate(Filter("QUAMIRA", "VOXA_CDROM")), kQmOk);
  ASSERT_EQ(agent_.Count(), 1);
  EXPECT_NE(Entry(0).get(), first.get());
  // A different option is a different filter too.
  auto second = Entry(0);
  auto filter = Filter("QUAMIRA", "VOXA_CDROM");
  filter.option = 0;
  ASSERT_EQ(agent_.Enumerate(filter), kQmOk);
  EXPECT_NE(Entry(0).get(), second.get());
  // The dropped objects live on while held.
  EXPECT_EQ(std::string(first->DeviceInfo().Name()).substr(0, 4), "dev@");
}

TEST_F(Agent, GoneDevicesArePurgedNewOnesAppended) {
  devices_.Create("b");
  devices_.Create("c");
  ASSERT_EQ(agent_.Enumerate(Filter()), kQmOk);
  auto c = Entry(1, true);
  devices_.Unplug("b");
  devices_.Create("a");
  ASSERT_EQ(agent_.Enumerate(Filter()), kQmOk);
  ASSERT_EQ(agent_.Count(), 2);
  EXPECT_EQ(NameAt(0), "c");  // known devices keep their order; new ones go to the end
  EXPECT_EQ(NameAt(1), "a");
  EXPECT_EQ(Entry(0).get(), c.get());
  devices_.Unplug("c");
  ASSERT_EQ(agent_.Enumerate(Filter()), kQmOk);
  ASSERT_EQ(agent_.Count(), 1);
  EXPECT_EQ(NameAt(0), "a");
}

TEST_F(Agent, UnitsThatCannotBeOpenedOrNoLongerMatchLeave) {
  devices_.Create("dev");
  devices_.Create("locked");
  std::filesystem::remove(devices_.Folder("locked") / "eeprom.bin");  // it cannot be opened
  ASSERT_EQ(agent_.Enumerate(Filter()), kQmOk);
  ASSERT_EQ(agent_.Count(), 1);
  EXPECT_EQ(NameAt(0), "dev");

  // A closed known device whose identity no longer matches is dropped at the next enumeration.
  devices_.Set("dev", "product", "SOMETHING ELSE");
  ASSERT_EQ(agent_.Enumerate(Filter()), kQmOk);
  EXPECT_EQ(agent_.Count(), 0);
}

TEST_F(Agent, MatchingUnitsThatRefuseToOpenAreKeptApartWithTheirOpenError) {
  devices_.Create("dev");
  devices_.Create("denied");
  devices_.Set("denied", "refuse_open", "denied");
  VirtualDeviceSetup other;
  other.product = "OTHER BOX";
  devices_.Create("other", other);
  devices_.Set("other", "refuse_open", "busy");  // does not match: not worth a word
  ASSERT_EQ(agent_.Enumerate(Filter()), kQmOk);
  ASSERT_EQ(agent_.Count(), 1);
  EXPECT_EQ(NameAt(0), "dev");
  auto unopenable = agent_.UnopenableDevices();
  ASSERT_EQ(unopenable.size(), 1u);
  EXPECT_EQ(unopenable[0].InterfacePath(), devices_.Folder("denied").string());
  EXPECT_EQ(unopenable[0].OpenError(), 5u);
  EXPECT_EQ(unopenable[0].OpenErrorText(), "Permission denied");
  EXPECT_STREQ(unopenable[0].VendorText(), "QUAMIRA");

  // A listed unit that another program now holds leaves the list and is kept apart the same way;
  // once free it is listed again and nothing is kept.
  devices_.Set("dev", "refuse_open", "busy");
  devices_.Set("denied", "refuse_open", "");
  ASSERT_EQ(agent_.Enumerate(Filter()), kQmOk);
  ASSERT_EQ(agent_.Count(), 1);
  EXPECT_EQ(NameAt(0), "denied");
  unopenable = agent_.UnopenableDevices();
  ASSERT_EQ(unopenable.size(), 1u);
  EXPECT_EQ(unopenable[0].InterfacePath(), devices_.Folder("dev").string());
  EXPECT_EQ(unopenable[0].OpenErrorText(), "Device or resource busy");
  devices_.Set("dev", "refuse_open", "");
  ASSERT_EQ(agent_.Enumerate(Filter()), kQmOk);
  EXPECT_EQ(agent_.Count(), 2);
  EXPECT_TRUE(agent_.UnopenableDevices().empty());
}

TEST_F(Agent, CheckEntry) {
  devices_.Create("dev");
  ASSERT_EQ(agent_.Enumerate(Filter()), kQmOk);
  EXPECT_EQ(agent_.CheckEntry(1), kQmUnknownDevice);
  EXPECT_EQ(agent_.CheckEntry(-1), kQmUnknownDevice);
  EXPECT_EQ(agent_.CheckEntry(0), kQmNoAnswer);  // closed: no handle to answer on
  auto device = Entry(0, true);
  EXPECT_EQ(agent_.CheckEntry(0), kQmOk);
  devices_.Unplug("dev");
  EXPECT_EQ(agent_.CheckEntry(0), kQmNoAnswer);
  EXPECT_EQ(agent_.Count(), 1);  // the check does not re-enumerate
}

TEST_F(Agent, EnumerationFailures) {
  devices_.Create("dev");
  ASSERT_EQ(agent_.Enumerate(Filter()), kQmOk);
  ASSERT_EQ(agent_.Count(), 1);
  auto filter = Filter();
  filter.kind = 2;
  EXPECT_EQ(agent_.Enumerate(filter), kQmNoEnumerator);
  EXPECT_EQ(agent_.Count(), 0);  // a different filter empties the list first
  ASSERT_EQ(agent_.Enumerate(Filter()), kQmOk);
  ASSERT_EQ(agent_.Count(), 1);
  {
    test::ScopedEnv missing("VELKIN_EMULATOR", (devices_.root() / "missing").string());
    EXPECT_EQ(agent_.Enumerate(Filter()), kQmUnusable);
    EXPECT_EQ(agent_.Count(), 0);
  }
  I_QMUsbDevice* device = nullptr;
  EXPECT_EQ(agent_.OpenEntry(0, false, &device), kQmIndexOutsideList);
  EXPECT_EQ(agent_.RegisterNotifications(os::HotplugCallback()), 1);
  EXPECT_EQ(agent_.UnregisterNotifications(), 1);
}

// The device table over the agent: slots follow their devices by name.
class Table : public C_OpenDeviceTable {
 public:
  using C_OpenDeviceTable::SlotObject;
};

TEST(DeviceTable, ObjectsFollowTheirDevicesByName) {
  VirtualDevices devices;
  devices.Create("m");
  Table table;
  table.SetMatchTexts("QUAMIRA", "VOXA CDROM");
  ASSERT_EQ(table.Refresh(2), kQmOk);
  ASSERT_EQ(table.SelectAndOpen(0), kQmOk);
  EXPECT_EQ(table.current_index(), 0);
  auto object = table.SlotObject(0);
  ASSERT_TRUE(object);
  const std::string m = object->DeviceInfo().Name();

  devices.Create("a");  // listed after "m" (new devices go to the end)
  ASSERT_EQ(table.Refresh(2), kQmOk);
  EXPECT_EQ(table.SlotObject(0).get(), object.get());
  EXPECT_FALSE(table.SlotObject(1));

  // Once "m" has gone, "a" moves to index 0 and the old object is released from the table.
  devices.Unplug("m");
  ASSERT_EQ(table.Refresh(2), kQmOk);
  EXPECT_FALSE(table.SlotObject(0));
  EXPECT_EQ(table.current_index(), -1);

  const std::string a = table.agent()->DeviceInfo(0)->Name();
  std::string a_upper = a;
  a_upper[0] = 'A';
  constexpr std::uint8_t kInquiryAsVendor[16] = {0xD0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'Q', 'M'};
  std::uint8_t reply[64];
  EXPECT_EQ(table.SendCommandByName(m.c_str(), kInquiryAsVendor, os::DataDirection::kIn, reply, 64), kQmUnknownDevice);
  EXPECT_EQ(table.SendCommandByIndex(0, kInquiryAsVendor, os::DataDirection::kIn, reply, 64), kQmUnknownDevice);
  EXPECT_EQ(table.CheckConnectionByName(m.c_str()), kQmIndexOutsideList);
  EXPECT_EQ(table.CheckConnectionByIndex(0), kQmUnknownDevice);
  ASSERT_EQ(table.SelectAndOpen(0), kQmOk);
  EXPECT_EQ(table.SendCommandByName(a.c_str(), kInquiryAsVendor, os::DataDirection::kIn, reply, 64), kQmOk);
  // The table's own lookups compare exactly.
  EXPECT_EQ(table.SendCommandByName(a_upper.c_str(), kInquiryAsVendor, os::DataDirection::kIn, reply, 64),
            kQmUnknownDevice);
  EXPECT_EQ(table.CheckConnectionByName(a.c_str()), kQmOk);
  EXPECT_EQ(table.SelectAndOpen(1), kQmIndexOutsideList);
}

// The selected, by-index and by-name variants address the same slots.
TEST(DeviceTable, EveryWayOfNamingASlotReachesItsOwnDevice) {
  VirtualDevices devices;
  devices.Create("a");
  devices.Create("b");
  Table table;
  table.SetMatchTexts("QUAMIRA", "VOXA CDROM");
  ASSERT_EQ(table.Refresh(2), kQmOk);
  ASSERT_EQ(table.SelectAndOpen(0), kQmOk);
  ASSERT_EQ(table.SelectAndOpen(1), kQmOk);
  const std::string second = table.agent()->DeviceInfo(1)->Name();

  // Without the "QM" signature the unit refuses: ILLEGAL REQUEST, INVALID FIELD IN CDB.
  constexpr std::uint8_t kUnsigned[16] = {0xD0};
  std::uint8_t reply[64];
  EXPECT_EQ(table.SendCommand(kUnsigned, os::DataDirection::kIn, reply, 64), kQmCheckCondition);
  EXPECT_EQ(table.LastSense(), 0x00052400u);
  EXPECT_EQ(table.LastSenseByIndex(1), 0x00052400u);
  EXPECT_EQ(table.LastSenseByName(second.c_str()), 0x00052400u);
  EXPECT_EQ(table.LastSenseByIndex(0), 0u) << "the other unit was not addressed";
  EXPECT_EQ(table.LastOsError(), 0u);
  EXPECT_EQ(table.LastSenseByName(nullptr), 0u);
}

class NamedUnit : public C_OpenedUnit {
 public:
  using C_OpenedUnit::OpenNamed;
};

TEST(DeviceTable, AnOpenedUnitOpensTheListedUnitOfAName) {
  VirtualDevices devices;
  devices.Create("a");
  devices.Create("b");
  std::string second;
  {
    Table lister;
    lister.SetMatchTexts("QUAMIRA", "VOXA CDROM");
    ASSERT_EQ(lister.Refresh(2), kQmOk);
    second = lister.agent()->DeviceInfo(1)->Name();
  }
  NamedUnit unit;
  EXPECT_EQ(unit.OpenNamed("QUAMIRA", "VOXA CDROM", "no such unit"), C_OpenedUnit::kNotOpened);
  EXPECT_FALSE(unit.IsOpen());
  EXPECT_EQ(unit.OpenNamed("QUAMIRA", "VOXA CDROM", second.c_str()), 2) << "the count of listed units";
  EXPECT_EQ(unit.DeviceName(), second);
  EXPECT_EQ(unit.current_index(), 1);
  EXPECT_TRUE(unit.CheckConnection());
}

TEST(DeviceTable, OnlyThirtyTwoSlots) {
  VirtualDevices devices;
  VirtualDeviceSetup setup;
  setup.flash_size = 4096;
  setup.trace = false;
  for (int i = 0; i < 33; ++i) {
    std::string name = i < 10 ? "d0" : "d";
    name += std::to_string(i);
    devices.Create(name, setup);
  }
  Table table;
  table.SetMatchTexts("QUAMIRA", "VOXA CDROM");
  ASSERT_EQ(table.Refresh(0), kQmOk);
  EXPECT_EQ(table.agent()->Count(), 33);
  EXPECT_EQ(table.SelectAndOpen(31), kQmOk);
  EXPECT_EQ(table.SelectAndOpen(32), kQmIndexOutsideList);
}

}  // namespace
}  // namespace velkin::qm
