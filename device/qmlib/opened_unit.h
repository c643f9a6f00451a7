// The opened unit of an export layer: the device table with the open flag and a copy of the opened
// device's name, and what both export sets do with it: open the first matching unit (or one by
// its name), check that it still answers, forget it, and run exchanges with it.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "open_device_table.h"
#include "vendor_commands.h"

namespace velkin::qm {

class C_OpenedUnit : public C_OpenDeviceTable {
 public:
  // Open results other than a device count.
  static constexpr std::int32_t kRefreshFailed = -3;
  static constexpr std::int32_t kNotOpened = -4;

  C_OpenedUnit() = default;
  ~C_OpenedUnit() override;

  bool IsOpen();
  // The name of the opened device, empty while none is open.
  std::string DeviceName();
  // Whether the opened device still answers. False also without an opened device; a device that
  // does not answer is closed and forgotten.
  bool CheckConnection();
  void CloseDevice();

  // One exchange with the opened device itself, under its exchange lock; false at once while no
  // device is open.
  template <class Body>
  bool WithDevice(Body body) {
    const std::string name = DeviceName();
    if (name.empty()) return false;
    bool ok = false;
    const std::int32_t result = Exchange(name.c_str(), [&](I_QMMassStorageDevice& device) {
      ok = body(device);
      return kQmOk;
    });
    return result == kQmOk && ok;
  }

  // One conversation with the opened device through the vendor command set.
  template <class Body>
  bool WithCommands(Body body) {
    return WithDevice([&](I_QMMassStorageDevice& device) {
      VendorCommands commands(device, [this] { PauseBetweenPolls(); });
      return body(commands);
    });
  }

  // A raw command to the opened device, found by its name (16-byte block, 10 s).
  bool SendRaw(const std::uint8_t* cdb, os::DataDirection direction, std::uint8_t* buffer, std::uint32_t length);

 protected:
  // The open steps: the matching texts, a refresh with filter option 2, device 0 selected and
  // opened, its name kept. The number of listed devices (> 0), or one of the codes above.
  std::int32_t OpenFirst(const char* vendor, const char* product) { return OpenListed(vendor, product, nullptr); }
  // The same steps, opening the listed unit named exactly `name` instead of device 0.
  std::int32_t OpenNamed(const char* vendor, const char* product, const char* name) {
    return OpenListed(vendor, product, name);
  }
  // The pause between EEPROM busy polls.
  virtual void PauseBetweenPolls();

 private:
  std::int32_t OpenListed(const char* vendor, const char* product, const char* name);
  void Forget(const std::string& name);

  // The open flag and the name, guarded because the host's threads (and Quorvane's notification
  // thread) all call in.
  std::mutex state_lock_;
  bool open_ = false;
  // A copy: the agent's record the name came from may be destroyed by a later refresh while the
  // name is still needed.
  std::string name_;
};

}  // namespace velkin::qm
