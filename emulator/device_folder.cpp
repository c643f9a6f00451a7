#include "device_folder.h"

#include <fstream>
#include <sstream>
#include <system_error>

#include "text_util.h"

namespace velkin::emu {
namespace {

std::string Hex16(std::uint16_t value) {
  return "0x" + HexByte(static_cast<std::uint8_t>(value >> 8)) + HexByte(static_cast<std::uint8_t>(value));
}

// An INQUIRY text field: cut to its width, then trimmed again, so that the text written back reads
// the same (blanks at the cut would otherwise vanish on the next reading).
std::string FieldText(std::string_view value, std::size_t width) {
  return std::string(Trim(value.substr(0, width)));
}

bool ApplyIdentitySetting(DeviceConfig& config, std::string_view key, std::string_view value) {
  if (key == "vendor") {
    config.identity.vendor = FieldText(value, 8);
  } else if (key == "product") {
    config.identity.product = FieldText(value, 16);
  } else if (key == "revision") {
    config.identity.revision = FieldText(value, 4);
  } else if (key == "type") {
    if (value == "cdrom") {
      config.identity.type = UnitType::kCdRom;
    } else if (value == "disk") {
      config.identity.type = UnitType::kDisk;
    } else {
      return false;
    }
  } else if (key == "usb_vendor_id" || key == "usb_product_id") {
    const auto n = ParseNumber(value);
    if (!n || *n > 0xFFFF) return false;
    (key == "usb_vendor_id" ? config.usb_vendor_id : config.usb_product_id) = static_cast<std::uint16_t>(*n);
  } else if (key == "hub" || key == "port") {
    std::int64_t v = 0;
    if (value == "-1") {
      v = -1;
    } else if (const auto n = ParseNumber(value); n && *n <= 0x7FFF) {
      v = static_cast<std::int64_t>(*n);
    } else {
      return false;
    }
    (key == "hub" ? config.hub : config.port) = static_cast<std::int16_t>(v);
  } else if (key == "flash_id") {
    const auto bytes = ParseHexBytes(value);
    if (!bytes || bytes->size() != 3) return false;
    for (int i = 0; i < 3; ++i) config.identity.flash_id[i] = static_cast<std::uint8_t>((*bytes)[i]);
  } else if (key == "trace") {
    if (value != "0" && value != "1") return false;
    config.trace = value == "1";
  } else {
    return false;
  }
  return true;
}

bool IsIdentityKey(std::string_view key) {
  for (const char* k : {"vendor", "product", "revision", "type", "usb_vendor_id", "usb_product_id", "hub", "port",
                        "flash_id", "trace"}) {
    if (key == k) return true;
  }
  return false;
}

}  // namespace

std::optional<DeviceConfig> ParseDeviceConfig(std::string_view text, std::string* error) {
  DeviceConfig config;
  int line_number = 0;
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    ++line_number;
    line = Trim(line);
    if (line.empty() || line[0] == '#') continue;
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) {
      if (error) *error = "line " + std::to_string(line_number) + ": no '='";
      return std::nullopt;
    }
    const std::string_view key = Trim(line.substr(0, equals));
    // Values keep inner blanks ("VOXA CDROM"); only the blanks around them go.
    const std::string_view value = Trim(line.substr(equals + 1));
    if (IsIdentityKey(key)) {
      if (!ApplyIdentitySetting(config, key, value)) {
        if (error) *error = "line " + std::to_string(line_number) + ": bad value for " + std::string(key);
        return std::nullopt;
      }
    } else if (!ApplyFaultSetting(config.faults, key, value, error)) {
      if (error) *error = "line " + std::to_string(line_number) + ": " + *error;
      return std::nullopt;
    }
  }
  return config;
}

std::string FormatDeviceConfig(const DeviceConfig& config) {
  std::ostringstream out;
  const auto& id = config.identity;
  out << "vendor = " << id.vendor << "\n"
      << "product = " << id.product << "\n"
      << "revision = " << id.revision << "\n"
      << "type = " << (id.type == UnitType::kCdRom ? "cdrom" : "disk") << "\n"
      << "usb_vendor_id = " << Hex16(config.usb_vendor_id) << "\n"
      << "usb_product_id = " << Hex16(config.usb_product_id) << "\n"
      << "hub = " << config.hub << "\n"
      << "port = " << config.port << "\n"
      << "flash_id = " << HexByte(id.flash_id[0]) << " " << HexByte(id.flash_id[1]) << " " << HexByte(id.flash_id[2])
      << "\n";
  if (config.trace) out << "trace = 1\n";
  for (const auto& [key, value] : FaultSettings(config.faults)) out << key << " = " << value << "\n";
  return out.str();
}

std::optional<DeviceConfig> LoadDeviceConfig(const std::filesystem::path& folder, std::string* error) {
  std::ifstream in(folder / kConfigFile, std::ios::binary);
  if (!in) {
    if (error) *error = "no " + std::string(kConfigFile);
    return std::nullopt;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return ParseDeviceConfig(text.str(), error);
}

bool SaveDeviceConfig(const std::filesystem::path& folder, const DeviceConfig& config, std::string* error) {
  const auto temporary = folder / (std::string(kConfigFile) + ".new");
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << FormatDeviceConfig(config);
    if (!out.flush()) {
      if (error) *error = "cannot write " + temporary.string();
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temporary, folder / kConfigFile, ec);
  if (ec) {
    if (error) *error = "cannot replace " + std::string(kConfigFile) + ": " + ec.message();
    return false;
  }
  return true;
}

std::size_t FlashSizeForCapacityCode(std::uint8_t code) {
  if (code < 12) return std::size_t{1} << 12;
  if (code > 26) return std::size_t{1} << 26;
  return std::size_t{1} << code;
}

bool CreateDeviceFolder(const std::filesystem::path& folder, const DeviceConfig& config, std::size_t flash_size,
                        std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) {
    if (error) *error = "cannot create " + folder.string() + ": " + ec.message();
    return false;
  }
  if (!CreateFilledFile((folder / kFlashFile).string(), flash_size, 0xFF) ||
      !CreateFilledFile((folder / kEepromFile).string(), kEepromSize, 0x00)) {
    if (error) *error = "cannot create the flash or EEPROM file in " + folder.string();
    return false;
  }
  return SaveDeviceConfig(folder, config, error);
}

bool IsValidDeviceName(std::string_view name) {
  if (name.empty() || name.size() > kMaxDeviceName) return false;
  for (const char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

}  // namespace velkin::emu
