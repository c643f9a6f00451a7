// Virtual devices for tests: a temporary VELKIN_EMULATOR folder, set in this process's
// environment for the life of the object, with helpers to create, plug, unplug and inspect
// devices the way velkin-emu does.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "scoped_env.h"
#include "temp_dir.h"

namespace velkin::test {

struct VirtualDeviceSetup {
  std::string vendor = "QUAMIRA";
  std::string product = "VOXA CDROM";
  std::string revision = "1.00";
  bool cdrom = true;
  std::uint8_t flash_id[3] = {0x20, 0x20, 0x14};
  std::size_t flash_size = 1 << 20;
  bool trace = true;  // log every command to trace.log
  bool plugged = true;
  // Extra device.conf lines ("key = value"), e.g. faults.
  std::vector<std::pair<std::string, std::string>> settings;
};

class VirtualDevices {
 public:
  VirtualDevices();
  VirtualDevices(const VirtualDevices&) = delete;
  VirtualDevices& operator=(const VirtualDevices&) = delete;

  const std::filesystem::path& root() const { return dir_.path(); }
  std::filesystem::path Folder(const std::string& name) const;

  void Create(const std::string& name, const VirtualDeviceSetup& setup = {});
  void Plug(const std::string& name);
  void Unplug(const std::string& name);
  // Sets (or replaces) device.conf settings; an empty value removes the setting.
  void Set(const std::string& name, const std::string& key, const std::string& value);

  std::vector<std::uint8_t> Flash(const std::string& name) const;
  std::vector<std::uint8_t> Eeprom(const std::string& name) const;
  void WriteEeprom(const std::string& name, std::size_t offset, const std::vector<std::uint8_t>& bytes);
  void WriteFlash(const std::string& name, std::size_t offset, const std::vector<std::uint8_t>& bytes);

  // Lines of trace.log: "<none|out|in> <command block hex> <length>[ <data hex>]".
  std::vector<std::string> Trace(const std::string& name) const;
  // The lines added since the last call for this device (all of them at the first).
  std::vector<std::string> NewTrace(const std::string& name);

 private:
  TempDir dir_;
  ScopedEnv env_;
  std::map<std::string, std::size_t> seen_;  // trace lines NewTrace has returned, by device
};

std::string HexBytes(const std::vector<std::uint8_t>& bytes);

}  // namespace velkin::test
