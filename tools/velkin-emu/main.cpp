// velkin-emu: manages virtual devices for the device libraries (VELKIN_EMULATOR).
//
// A virtual device is a folder with device.conf, flash.bin and eeprom.bin. Plugged-in devices are
// the subfolders of the root; unplugged ones wait under <root>/.unplugged. Plugging and
// unplugging are folder renames, so a watching library sees each as one arrival or removal.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "emulator/device_folder.h"
#include "emulator/storage.h"
#include "emulator/text_util.h"

namespace {

namespace fs = std::filesystem;
namespace emu = velkin::emu;

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

const char* const kUsageText =
    "usage: velkin-emu [--root DIR] COMMAND ...\n"
    "  The root folder is DIR, or the folder named by VELKIN_EMULATOR.\n"
    "commands:\n"
    "  create NAME [--vendor TEXT] [--product TEXT] [--revision TEXT] [--type disk|cdrom]\n"
    "              [--usb-vendor-id N] [--usb-product-id N] [--hub N] [--port N]\n"
    "              [--flash-id \"MM TT CC\"] [--flash-size BYTES] [--trace] [--unplugged]\n"
    "      a new device (defaults: QUAMIRA, VOXA CDROM, cdrom, flash identity 20 20 14 with\n"
    "      1 MiB of erased flash, zeroed EEPROM), plugged in unless --unplugged\n"
    "  list                               every device, plugged in or not\n"
    "  plug NAME | unplug NAME            move a device in or out\n"
    "  remove NAME                        delete a device\n"
    "  set NAME KEY=VALUE...              change device.conf settings (identity, trace, faults)\n"
    "  fault NAME KEY=VALUE... | --clear  the same for faults; --clear removes every fault\n"
    "      faults: fail=KIND[:COUNT] fail_error=N check=KIND[:COUNT] sense=\"KK AA QQ\"\n"
    "              eeprom_busy=N|forever eeprom_fail=0|1 wrong_echo=0|1 refuse_write_at=ADDR|none\n"
    "              unplug_after=N|none bulk_erase_polls=N refuse_open=denied|busy|none\n"
    "              command_us=N byte_ns=N (each command answered after N us + N ns per data byte,\n"
    "              as over USB)\n"
    "      KIND: any erase read write data_out data_in inquiry other (none: off)\n"
    "  dump NAME flash|eeprom [--offset N] [--length N] [--out FILE]\n"
    "      the bytes to FILE, or as hexadecimal lines on standard output\n"
    "  load NAME flash|eeprom FILE [--offset N]\n"
    "      write the bytes of FILE into the flash or EEPROM at the offset\n";

int Fail(const std::string& message) {
  std::cerr << "velkin-emu: " << message << "\n";
  return kFailed;
}

int Usage(const std::string& message) {
  std::cerr << "velkin-emu: " << message << "\n" << kUsageText;
  return kUsage;
}

// Where a device is: plugged in under the root, or parked under .unplugged.
struct Location {
  fs::path folder;
  bool plugged = false;
};

class Root {
 public:
  explicit Root(fs::path path) : path_(std::move(path)) {}
  fs::path Plugged(const std::string& name) const { return path_ / name; }
  fs::path Parked(const std::string& name) const { return path_ / emu::kUnpluggedFolder / name; }

  std::optional<Location> Find(const std::string& name) const {
    std::error_code ec;
    if (fs::is_regular_file(Plugged(name) / emu::kConfigFile, ec)) return Location{Plugged(name), true};
    if (fs::is_regular_file(Parked(name) / emu::kConfigFile, ec)) return Location{Parked(name), false};
    return std::nullopt;
  }

  std::vector<std::pair<std::string, bool>> All() const {
    std::vector<std::pair<std::string, bool>> devices;
    for (const auto& [folder, plugged] : {std::pair{path_, true}, std::pair{path_ / emu::kUnpluggedFolder, false}}) {
      std::error_code ec;
      std::vector<std::string> names;
      for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        std::error_code file_ec;
        if (!name.empty() && name[0] != '.' && fs::is_regular_file(it->path() / emu::kConfigFile, file_ec)) {
          names.push_back(name);
        }
      }
      std::sort(names.begin(), names.end());
      for (auto& name : names) devices.emplace_back(std::move(name), plugged);
    }
    return devices;
  }

  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::optional<std::uint64_t> Number(const std::string& text) {
  return emu::ParseNumber(text);
}

// Options of the form --key VALUE (or a bare --flag) after the positional arguments.
class Options {
 public:
  Options(const std::vector<std::string>& args, std::size_t from) {
    for (std::size_t i = from; i < args.size(); ++i) {
      const std::string& a = args[i];
      if (a.rfind("--", 0) != 0) {
        positional_.push_back(a);
      } else if (IsFlag(a)) {
        values_.emplace_back(a, "");
      } else if (i + 1 < args.size()) {
        values_.emplace_back(a, args[++i]);
      } else {
        error_ = "missing value after " + a;
      }
    }
  }
  static bool IsFlag(const std::string& a) { return a == "--unplugged" || a == "--trace" || a == "--clear"; }
  std::optional<std::string> Get(const std::string& key) const {
    std::optional<std::string> found;
    for (const auto& [k, v] : values_) {
      if (k == key) found = v;
    }
    return found;
  }
  bool Has(const std::string& key) const { return Get(key).has_value(); }
  // An option not in `known`, if any.
  std::optional<std::string> Unknown(const std::vector<std::string>& known) const {
    for (const auto& [k, v] : values_) {
      if (std::find(known.begin(), known.end(), k) == known.end()) return k;
    }
    return std::nullopt;
  }
  const std::vector<std::string>& positional() const { return positional_; }
  const std::string& error() const { return error_; }

 private:
  std::vector<std::pair<std::string, std::string>> values_;
  std::vector<std::string> positional_;
  std::string error_;
};

bool MovePath(const fs::path& from, const fs::path& to, std::string* error) {
  std::error_code ec;
  fs::create_directories(to.parent_path(), ec);
  fs::rename(from, to, ec);
  if (ec) {
    *error = "cannot move " + from.string() + " to " + to.string() + ": " + ec.message();
    return false;
  }
  return true;
}

int Create(const Root& root, const std::string& name, const Options& options) {
  if (!emu::IsValidDeviceName(name)) {
    return Fail("bad device name '" + name + "' (1 to 16 letters, digits, '-' or '_')");
  }
  if (auto unknown =
          options.Unknown({"--vendor", "--product", "--revision", "--type", "--usb-vendor-id", "--usb-product-id",
                           "--hub", "--port", "--flash-id", "--flash-size", "--trace", "--unplugged"})) {
    return Usage("unknown option " + *unknown);
  }
  if (root.Find(name)) return Fail("device '" + name + "' exists already");

  // The options are applied as device.conf lines, so that they are checked exactly as the file is.
  std::string text;
  const std::pair<const char*, const char*> keys[] = {{"--vendor", "vendor"},
                                                      {"--product", "product"},
                                                      {"--revision", "revision"},
                                                      {"--type", "type"},
                                                      {"--hub", "hub"},
                                                      {"--port", "port"},
                                                      {"--flash-id", "flash_id"},
                                                      {"--usb-vendor-id", "usb_vendor_id"},
                                                      {"--usb-product-id", "usb_product_id"}};
  for (const auto& [option, key] : keys) {
    if (auto value = options.Get(option)) text += std::string(key) + " = " + *value + "\n";
  }
  if (options.Has("--trace")) text += "trace = 1\n";
  std::string error;
  auto config = emu::ParseDeviceConfig(text, &error);
  if (!config) return Fail(error);
  if (auto value = options.Get("--vendor"); value && value->size() > 8) return Fail("vendor text over 8 characters");
  if (auto value = options.Get("--product"); value && value->size() > 16) {
    return Fail("product text over 16 characters");
  }

  std::size_t flash_size = emu::FlashSizeForCapacityCode(config->identity.flash_id[2]);
  if (auto value = options.Get("--flash-size")) {
    const auto n = Number(*value);
    if (!n || *n == 0 || *n > (std::uint64_t{1} << 28)) return Fail("bad flash size " + *value);
    flash_size = static_cast<std::size_t>(*n);
  }
  // Built where it is not yet plugged in, then moved into place in one rename: a watcher never
  // sees a half-made device.
  const fs::path staging = root.path() / emu::kUnpluggedFolder / ("." + name + ".new");
  std::error_code ec;
  fs::remove_all(staging, ec);
  if (!emu::CreateDeviceFolder(staging, *config, flash_size, &error)) return Fail(error);
  const fs::path target = options.Has("--unplugged") ? root.Parked(name) : root.Plugged(name);
  if (!MovePath(staging, target, &error)) {
    fs::remove_all(staging, ec);
    return Fail(error);
  }
  return kOk;
}

int List(const Root& root) {
  for (const auto& [name, plugged] : root.All()) {
    const fs::path folder = plugged ? root.Plugged(name) : root.Parked(name);
    std::string error;
    const auto config = emu::LoadDeviceConfig(folder, &error);
    std::cout << name << (plugged ? " plugged" : " unplugged");
    if (!config) {
      std::cout << " (device.conf: " << error << ")\n";
      continue;
    }
    std::error_code ec;
    const auto flash_size = fs::file_size(folder / emu::kFlashFile, ec);
    const auto& id = config->identity;
    std::cout << " " << (id.type == emu::UnitType::kCdRom ? "cdrom" : "disk") << " \"" << id.vendor << "\" \""
              << id.product << "\" \"" << id.revision << "\" flash_id " << emu::HexByte(id.flash_id[0]) << " "
              << emu::HexByte(id.flash_id[1]) << " " << emu::HexByte(id.flash_id[2]) << " flash "
              << (ec ? 0 : flash_size) << " bytes";
    for (const auto& [key, value] : emu::FaultSettings(config->faults)) std::cout << " " << key << "=" << value;
    std::cout << "\n";
  }
  return kOk;
}

int Plug(const Root& root, const std::string& name, bool in) {
  const auto where = root.Find(name);
  if (!where) return Fail("no device '" + name + "'");
  if (where->plugged == in) return kOk;  // already there
  std::string error;
  if (!MovePath(where->folder, in ? root.Plugged(name) : root.Parked(name), &error)) return Fail(error);
  return kOk;
}

int Remove(const Root& root, const std::string& name) {
  const auto where = root.Find(name);
  if (!where) return Fail("no device '" + name + "'");
  std::error_code ec;
  fs::remove_all(where->folder, ec);
  if (ec) return Fail("cannot remove " + where->folder.string() + ": " + ec.message());
  return kOk;
}

int Set(const Root& root, const std::string& name, const std::vector<std::string>& settings, bool faults_only,
        bool clear) {
  const auto where = root.Find(name);
  if (!where) return Fail("no device '" + name + "'");
  std::string error;
  auto config = emu::LoadDeviceConfig(where->folder, &error);
  if (!config) return Fail(error);
  if (clear) config->faults = emu::Faults{};
  std::string text = emu::FormatDeviceConfig(*config);
  for (const auto& setting : settings) {
    const auto equals = setting.find('=');
    if (equals == std::string::npos) return Usage("expected KEY=VALUE, got '" + setting + "'");
    const std::string key(emu::Trim(std::string_view(setting).substr(0, equals)));
    if (faults_only && !emu::IsFaultKey(key)) return Fail("'" + key + "' is not a fault");
    text += key + " = " + setting.substr(equals + 1) + "\n";  // later lines override earlier ones
  }
  auto updated = emu::ParseDeviceConfig(text, &error);
  if (!updated) return Fail(error);
  if (!emu::SaveDeviceConfig(where->folder, *updated, &error)) return Fail(error);
  return kOk;
}

std::optional<fs::path> StoreFile(const Location& where, const std::string& which) {
  if (which == "flash") return where.folder / emu::kFlashFile;
  if (which == "eeprom") return where.folder / emu::kEepromFile;
  return std::nullopt;
}

int Dump(const Root& root, const std::string& name, const std::string& which, const Options& options) {
  if (auto unknown = options.Unknown({"--offset", "--length", "--out"})) return Usage("unknown option " + *unknown);
  const auto where = root.Find(name);
  if (!where) return Fail("no device '" + name + "'");
  const auto file = StoreFile(*where, which);
  if (!file) return Usage("expected flash or eeprom, got '" + which + "'");
  auto store = emu::FileStorage::Open(file->string());
  if (!store) return Fail("cannot open " + file->string());

  std::uint64_t offset = 0;
  std::uint64_t length = store->Size();
  if (auto value = options.Get("--offset")) {
    const auto n = Number(*value);
    if (!n || *n > store->Size()) return Fail("offset outside the " + which);
    offset = *n;
    length = store->Size() - offset;
  }
  if (auto value = options.Get("--length")) {
    const auto n = Number(*value);
    if (!n || *n > store->Size() - offset) return Fail("range outside the " + which);
    length = *n;
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
  if (!store->Read(static_cast<std::size_t>(offset), bytes)) return Fail("cannot read " + file->string());

  if (auto out = options.Get("--out")) {
    std::ofstream stream(*out, std::ios::binary | std::ios::trunc);
    stream.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!stream.flush()) return Fail("cannot write " + *out);
    return kOk;
  }
  // Hexadecimal lines: an eight-digit address, then up to 16 bytes.
  for (std::size_t i = 0; i < bytes.size(); i += 16) {
    std::string line;
    const auto address = static_cast<std::uint32_t>(offset + i);
    for (int shift = 24; shift >= 0; shift -= 8) line += emu::HexByte(static_cast<std::uint8_t>(address >> shift));
    line += " ";
    for (std::size_t j = i; j < bytes.size() && j < i + 16; ++j) line += " " + emu::HexByte(bytes[j]);
    std::cout << line << "\n";
  }
  return kOk;
}

int Load(const Root& root, const std::string& name, const std::string& which, const std::string& source,
         const Options& options) {
  if (auto unknown = options.Unknown({"--offset"})) return Usage("unknown option " + *unknown);
  const auto where = root.Find(name);
  if (!where) return Fail("no device '" + name + "'");
  const auto file = StoreFile(*where, which);
  if (!file) return Usage("expected flash or eeprom, got '" + which + "'");
  std::ifstream in(source, std::ios::binary);
  if (!in) return Fail("cannot read " + source);
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto store = emu::FileStorage::Open(file->string());
  if (!store) return Fail("cannot open " + file->string());
  std::uint64_t offset = 0;
  if (auto value = options.Get("--offset")) {
    const auto n = Number(*value);
    if (!n) return Fail("bad offset " + *value);
    offset = *n;
  }
  if (offset > store->Size() || bytes.size() > store->Size() - offset) return Fail("data do not fit the " + which);
  if (!store->Write(static_cast<std::size_t>(offset), bytes)) return Fail("cannot write " + file->string());
  return kOk;
}

int Run(std::vector<std::string> args) {
  std::optional<std::string> root_path;
  if (args.size() >= 2 && args[0] == "--root") {
    root_path = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty() || args[0] == "--help" || args[0] == "help") {
    std::cout << kUsageText;
    return args.empty() ? kUsage : kOk;
  }
  if (!root_path) {
    const char* env = std::getenv("VELKIN_EMULATOR");
    if (env == nullptr || *env == '\0') return Usage("no root folder: give --root DIR or set VELKIN_EMULATOR");
    root_path = env;
  }
  const Root root{fs::path(*root_path)};
  std::error_code ec;
  fs::create_directories(root.path(), ec);

  const std::string& command = args[0];
  const Options options(args, 1);
  if (!options.error().empty()) return Usage(options.error());
  const auto& pos = options.positional();
  const auto need = [&](std::size_t n) { return pos.size() == n; };

  if (command == "create" && need(1)) return Create(root, pos[0], options);
  if (command == "list" && need(0)) return List(root);
  if (command == "plug" && need(1)) return Plug(root, pos[0], true);
  if (command == "unplug" && need(1)) return Plug(root, pos[0], false);
  if (command == "remove" && need(1)) return Remove(root, pos[0]);
  if ((command == "set" || command == "fault") && !pos.empty()) {
    const bool clear = options.Has("--clear");
    if (!clear && pos.size() < 2) return Usage("nothing to set");
    return Set(root, pos[0], std::vector<std::string>(pos.begin() + 1, pos.end()), command == "fault", clear);
  }
  if (command == "dump" && need(2)) return Dump(root, pos[0], pos[1], options);
  if (command == "load" && need(3)) return Load(root, pos[0], pos[1], pos[2], options);
  return Usage("bad command line");
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
}
