#include "virtual_devices.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "emulator/device_folder.h"
#include "emulator/storage.h"
#include "emulator/text_util.h"

namespace velkin::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Patch(const fs::path& file, std::size_t offset, const std::vector<std::uint8_t>& bytes) {
  auto store = emu::FileStorage::Open(file.string());
  if (!store || !store->Write(offset, bytes)) throw std::runtime_error("cannot patch " + file.string());
}

void Move(const fs::path& from, const fs::path& to) {
  fs::create_directories(to.parent_path());
  fs::rename(from, to);
}

}  // namespace

VirtualDevices::VirtualDevices() : env_("VELKIN_EMULATOR", dir_.path().string()) {}

fs::path VirtualDevices::Folder(const std::string& name) const {
  if (fs::exists(root() / name)) return root() / name;
  return root() / emu::kUnpluggedFolder / name;
}

void VirtualDevices::Create(const std::string& name, const VirtualDeviceSetup& setup) {
  std::ostringstream text;
  text << "vendor = " << setup.vendor << "\nproduct = " << setup.product << "\nrevision = " << setup.revision
       << "\ntype = " << (setup.cdrom ? "cdrom" : "disk") << "\nflash_id = " << emu::HexByte(setup.flash_id[0]) << " "
       << emu::HexByte(setup.flash_id[1]) << " " << emu::HexByte(setup.flash_id[2])
       << "\ntrace = " << (setup.trace ? 1 : 0) << "\n";
  for (const auto& [key, value] : setup.settings) text << key << " = " << value << "\n";
  std::string error;
  const auto config = emu::ParseDeviceConfig(text.str(), &error);
  if (!config) throw std::runtime_error("bad device setup: " + error);
  const fs::path staging = root() / emu::kUnpluggedFolder / ("." + name);
  if (!emu::CreateDeviceFolder(staging, *config, setup.flash_size, &error)) throw std::runtime_error(error);
  Move(staging, setup.plugged ? root() / name : root() / emu::kUnpluggedFolder / name);
}

void VirtualDevices::Plug(const std::string& name) {
  Move(root() / emu::kUnpluggedFolder / name, root() / name);
}

void VirtualDevices::Unplug(const std::string& name) {
  Move(root() / name, root() / emu::kUnpluggedFolder / name);
}

void VirtualDevices::Set(const std::string& name, const std::string& key, const std::string& value) {
  const fs::path folder = Folder(name);
  std::ifstream in(folder / emu::kConfigFile, std::ios::binary);
  std::ostringstream kept;
  for (std::string line; std::getline(in, line);) {
    const auto equals = line.find('=');
    if (equals != std::string::npos && emu::Trim(line.substr(0, equals)) == key) continue;
    kept << line << "\n";
  }
  in.close();
  if (!value.empty()) kept << key << " = " << value << "\n";
  std::string error;
  const auto config = emu::ParseDeviceConfig(kept.str(), &error);
  if (!config || !emu::SaveDeviceConfig(folder, *config, &error)) throw std::runtime_error(error);
}

std::vector<std::uint8_t> VirtualDevices::Flash(const std::string& name) const {
  return ReadAll(Folder(name) / emu::kFlashFile);
}

std::vector<std::uint8_t> VirtualDevices::Eeprom(const std::string& name) const {
  return ReadAll(Folder(name) / emu::kEepromFile);
}

void VirtualDevices::WriteEeprom(const std::string& name, std::size_t offset, const std::vector<std::uint8_t>& bytes) {
  Patch(Folder(name) / emu::kEepromFile, offset, bytes);
}

void VirtualDevices::WriteFlash(const std::string& name, std::size_t offset, const std::vector<std::uint8_t>& bytes) {
  Patch(Folder(name) / emu::kFlashFile, offset, bytes);
}

std::vector<std::string> VirtualDevices::Trace(const std::string& name) const {
  std::ifstream in(Folder(name) / emu::kTraceFile, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> VirtualDevices::NewTrace(const std::string& name) {
  auto lines = Trace(name);
  const std::size_t seen = std::exchange(seen_[name], lines.size());
  lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(std::min(seen, lines.size())));
  return lines;
}

std::string HexBytes(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  for (const auto b : bytes) text += emu::HexByte(b);
  return text;
}

}  // namespace velkin::test
