// Hardware IDs and the identity match that decides which units belong in the device list.
#include <gtest/gtest.h>

#include <cstring>

#include "device/qmlib/os/hardware_id.h"
#include "device/qmlib/usb_device_info.h"

namespace velkin::qm {
namespace {

QMMassStorageFilterPayload Filter(const char* vendor, const char* product) {
  QMMassStorageFilterPayload filter;
  filter.texts_set = (*vendor != '\0' && *product != '\0') ? 1 : 0;
  std::strncpy(filter.vendor, vendor, 31);
  std::strncpy(filter.product, product, 31);
  return filter;
}

TEST(HardwareId, ComposedAsWindowsWritesIt) {
  EXPECT_EQ(os::ComposeHardwareId(os::UnitType::kCdRom, "QUAMIRA", "VOXA CDROM", "1.00"),
            "USBSTOR\\CdRomQUAMIRA_VOXA_CDROM______1.00");
  EXPECT_EQ(os::ComposeHardwareId(os::UnitType::kDisk, "QUAMIRA ", "VOXA CDROM      ", "1.0 "),
            "USBSTOR\\DiskQUAMIRA_VOXA_CDROM______1.0");
  // Longer texts are cut to the INQUIRY fields.
  EXPECT_EQ(os::ComposeHardwareId(os::UnitType::kDisk, "LONGVENDORNAME", "P", "12345"),
            "USBSTOR\\DiskLONGVEND"
            "P_______________"
            "1234");
}

TEST(IdentityMatch, WorkedExamples) {
  const char* cdrom = "USBSTOR\\CdRomQUAMIRA_VOXA_CDROM______1.00";
  const char* disk = "USBSTOR\\DiskQUAMIRA_VOXA_CDROM______1.00";
  EXPECT_TRUE(MatchesIdentity(cdrom, Filter("QUAMIRA", "VOXA CDROM")));
  EXPECT_TRUE(MatchesIdentity(disk, Filter("QUAMIRA", "VOXA CDROM")));
  EXPECT_TRUE(MatchesIdentity(cdrom, Filter("QUAMIRA", "VOXA_CDROM")));
  EXPECT_TRUE(MatchesIdentity("USBSTOR\\CdRomQUAMIRA_VOXA CDROM______1.00", Filter("QUAMIRA", "VOXA_CDROM")));
  EXPECT_FALSE(MatchesIdentity(cdrom, Filter("QUAMIR", "VOXA CDROM")));   // no prefix matching
  EXPECT_FALSE(MatchesIdentity(cdrom, Filter("quamira", "VOXA CDROM")));  // case counts
  EXPECT_FALSE(MatchesIdentity(cdrom, Filter("QUAMIRA", "VOXA CDRO")));
  EXPECT_FALSE(MatchesIdentity(cdrom, Filter("QUAMIRA", "VOXA CDROM_")));
  EXPECT_FALSE(MatchesIdentity(cdrom, Filter("QUAMIRA_", "VOXA CDROM")));
}

TEST(IdentityMatch, OnlyMassStorageIdsWithAVendor) {
  const auto filter = Filter("QUAMIRA", "VOXA CDROM");
  EXPECT_FALSE(MatchesIdentity("USBSTOR\\TapeQUAMIRA_VOXA_CDROM______1.00", filter));
  EXPECT_FALSE(MatchesIdentity("USB\\VID_C0FE&PID_0A51", filter));
  EXPECT_FALSE(MatchesIdentity("", filter));
  EXPECT_FALSE(MatchesIdentity("USBSTOR\\CdRom", filter));
  // A vendor field of underscores only never matches.
  EXPECT_FALSE(MatchesIdentity("USBSTOR\\Disk________VOXA_CDROM______1.00", Filter("_", "VOXA CDROM")));
  // A short ID: the fields are what is there.
  EXPECT_TRUE(MatchesIdentity("USBSTOR\\DiskQUAMIRA_VOXA", Filter("QUAMIRA", "VOXA")));
}

TEST(IdentityMatch, FilterWithoutTextsMatchesNothing) {
  // A device whose product field is blank would equal an empty product text.
  const char* blank_product = "USBSTOR\\DiskQUAMIRA_________________1.00";
  EXPECT_FALSE(MatchesIdentity(blank_product, Filter("QUAMIRA", "")));
  EXPECT_FALSE(MatchesIdentity(blank_product, Filter("", "")));
  auto forced = Filter("QUAMIRA", "");
  forced.texts_set = 1;  // the match itself would accept it: only the texts-set mark keeps it out
  EXPECT_TRUE(MatchesIdentity(blank_product, forced));
}

TEST(DeviceNames, CompareWithoutRegardToCase) {
  EXPECT_TRUE(EqualsIgnoringCase("6&1a2b3c4d&0&000", "6&1A2B3C4D&0&000"));
  EXPECT_FALSE(EqualsIgnoringCase("dev", "dev1"));
  EXPECT_FALSE(EqualsIgnoringCase("dev_", "dev "));
}

}  // namespace
}  // namespace velkin::qm
