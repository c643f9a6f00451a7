// The table's unit as a virtual device in a VELKIN_EMULATOR folder of its own.
#include <algorithm>

#include "command_blocks.h"

namespace velkin::test {
namespace {

class VirtualTestUnit : public TestUnit {
 public:
  explicit VirtualTestUnit(const UnitSetup& setup) {
    VirtualDeviceSetup device;
    std::copy(setup.flash_id.begin(), setup.flash_id.end(), device.flash_id);
    if (setup.eeprom_busy > 0) device.settings = {{"eeprom_busy", std::to_string(setup.eeprom_busy)}};
    devices_.Create("unit", device);
  }

  Bytes Flash(std::size_t offset, std::size_t count) override { return Slice(devices_.Flash("unit"), offset, count); }
  void FillFlash(std::size_t offset, const Bytes& bytes) override { devices_.WriteFlash("unit", offset, bytes); }
  Bytes Eeprom(std::size_t offset, std::size_t count) override { return Slice(devices_.Eeprom("unit"), offset, count); }
  void FillEeprom(std::size_t offset, const Bytes& bytes) override { devices_.WriteEeprom("unit", offset, bytes); }

  std::vector<std::string> NewTrace() override { return devices_.NewTrace("unit"); }

 private:
  static Bytes Slice(const Bytes& bytes, std::size_t offset, std::size_t count) {
    if (offset + count > bytes.size()) return {};
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                 bytes.begin() + static_cast<std::ptrdiff_t>(offset + count));
  }

  VirtualDevices devices_;
};

}  // namespace

std::unique_ptr<TestUnit> MakeTestUnit(const UnitSetup& setup) {
  return std::make_unique<VirtualTestUnit>(setup);
}

}  // namespace velkin::test
