// Virtual devices: every subfolder of the VELKIN_EMULATOR folder that holds a device.conf is a
// plugged-in unit, answered by the firmware model on the folder's flash.bin and eeprom.bin.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "device/qmlib/os/backend.h"
#include "device/qmlib/os/hardware_id.h"
#include "emulator/device_folder.h"
#include "emulator/file_lock.h"
#include "emulator/firmware.h"
#include "emulator/text_util.h"

namespace velkin::qm::os {
namespace {

namespace fs = std::filesystem;

// What a pulled-out unit reports as the system's error: ERROR_DEVICE_NOT_CONNECTED, the same
// number on every platform so that tests can rely on it.
constexpr std::uint32_t kDeviceNotConnected = 1167;
// What a unit held by another program past the wait reports: ERROR_BUSY, likewise.
constexpr std::uint32_t kDeviceBusy = 170;

// Files stamped less than this long ago may change again without a new stamp.
constexpr auto kStampResolution = std::chrono::seconds(3);

// One command of another program holds the state lock only for a moment; this bound only keeps
// a crashed holder (which the system unlocks anyway) from hanging the caller.
constexpr auto kStateLockWait = std::chrono::seconds(10);

// The firmware's state between commands as the device folder keeps it for every program: the
// state file and the lock taken around each command. Both stay open with the unit, like flash.bin
// and eeprom.bin; the state has one size, so it is rewritten in place, never truncated.
class StateFile {
 public:
  explicit StateFile(const fs::path& folder) : lock_((folder / emu::kStateLockFile).string()) {
    const std::string path = (folder / emu::kStateFile).string();
    if (std::FILE* create = std::fopen(path.c_str(), "ab")) std::fclose(create);  // creates, keeps what is there
    file_ = std::fopen(path.c_str(), "r+b");
    if (file_ != nullptr) std::setvbuf(file_, nullptr, _IONBF, 0);  // every program sees each command
  }
  ~StateFile() {
    if (file_ != nullptr) std::fclose(file_);
  }
  StateFile(const StateFile&) = delete;
  StateFile& operator=(const StateFile&) = delete;

  void Lock() { locked_ = lock_.Lock(kStateLockWait); }
  void Unlock() {
    if (locked_) lock_.Unlock();
    locked_ = false;
  }
  std::vector<std::uint8_t> Read() {
    std::vector<std::uint8_t> bytes(512);
    std::size_t n = 0;
    if (file_ != nullptr && std::fseek(file_, 0, SEEK_SET) == 0) n = std::fread(bytes.data(), 1, bytes.size(), file_);
    bytes.resize(n);
    return bytes;
  }
  void Write(const std::vector<std::uint8_t>& bytes) {
    if (file_ != nullptr && std::fseek(file_, 0, SEEK_SET) == 0) std::fwrite(bytes.data(), 1, bytes.size(), file_);
  }

 private:
  emu::FileLock lock_;
  std::FILE* file_ = nullptr;
  bool locked_ = false;
};

std::string Hex(const std::uint8_t* bytes, std::size_t n) {
  std::string text;
  text.reserve(n * 2);
  for (std::size_t i = 0; i < n; ++i) text += emu::HexByte(bytes[i]);
  return text;
}

std::optional<std::string> ReadConfigText(const fs::path& folder) {
  std::FILE* file = std::fopen((folder / emu::kConfigFile).string().c_str(), "rb");
  if (file == nullptr) return std::nullopt;
  std::string text;
  char chunk[1024];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) text.append(chunk, n);
  std::fclose(file);
  return text;
}

// One virtual unit as this process sees it: the firmware model on the folder's files. Every
// device object of the process that opens the same folder shares it, as handles to one real unit
// share its firmware. Other programs share it through the folder: the model's state between
// commands lives in firmware.state, read and written under firmware.lock around each command.
class VirtualUnit {
 public:
  const fs::path& folder() const { return folder_; }

  static std::shared_ptr<VirtualUnit> Open(const fs::path& folder) {
    auto text = ReadConfigText(folder);
    if (!text) return nullptr;
    auto config = emu::ParseDeviceConfig(*text, nullptr);
    if (!config) return nullptr;
    auto flash = emu::FileStorage::Open((folder / emu::kFlashFile).string());
    auto eeprom = emu::FileStorage::Open((folder / emu::kEepromFile).string());
    if (!flash || !eeprom) return nullptr;
    return std::shared_ptr<VirtualUnit>(
        new VirtualUnit(folder, std::move(*config), std::move(*text), std::move(flash), std::move(eeprom)));
  }

  ~VirtualUnit() { CloseFiles(); }

  bool gone() {
    std::lock_guard guard(mutex_);
    return gone_;
  }

  CommandOutcome Carry(const CommandBlock& command) {
    std::lock_guard guard(mutex_);
    CommandOutcome outcome;
    if (gone_ || !StillPlugged()) {
      outcome.kind = OutcomeKind::kDeviceGone;
      outcome.os_error = kDeviceNotConnected;
      return outcome;
    }
    Trace(command);
    SharedState shared(*this);
    const auto direction = command.length == 0                       ? emu::Direction::kNone
                           : command.direction == DataDirection::kIn ? emu::Direction::kIn
                                                                     : emu::Direction::kOut;
    // The firmware model writes a data-in buffer only on success, as the transport contract asks.
    const auto response = firmware_->Execute(std::span(command.cdb, command.cdb_length), direction,
                                             std::span(command.data, command.data ? command.length : 0));
    // The unit stays busy for the command's time, as a real one over USB.
    if (command_us_ != 0 || byte_ns_ != 0) {
      const std::uint64_t bytes = command.data ? command.length : 0;
      std::this_thread::sleep_for(std::chrono::microseconds(command_us_) + std::chrono::nanoseconds(byte_ns_ * bytes));
    }
    switch (response.kind) {
      case emu::Response::Kind::kGood:
        outcome.transferred = response.transferred;
        break;
      case emu::Response::Kind::kCheckCondition: {
        outcome.kind = OutcomeKind::kCheckCondition;
        outcome.scsi_status = response.status();
        const auto sense = response.FixedSense();
        std::copy(sense.begin(), sense.end(), outcome.sense.begin());
        outcome.sense_length = static_cast<std::uint8_t>(sense.size());
        break;
      }
      case emu::Response::Kind::kTransportError:
        outcome.kind = OutcomeKind::kOsError;
        outcome.os_error = response.os_error;
        break;
      case emu::Response::Kind::kGone:
        outcome.kind = OutcomeKind::kDeviceGone;
        outcome.os_error = kDeviceNotConnected;
        break;
    }
    shared.StoreAndRelease();
    if (firmware_->gone()) PullOut();
    return outcome;
  }

 private:
  // The firmware's state as every program left it, for one command: loaded under the state lock
  // at the start, stored (when changed) before the lock is given back.
  class SharedState {
   public:
    explicit SharedState(VirtualUnit& unit) : unit_(unit) {
      if (!unit_.state_) return;
      unit_.state_->Lock();
      before_ = unit_.state_->Read();
      if (!unit_.firmware_->LoadState(before_)) before_.clear();
    }
    // Stores the state when the command changed it and gives the lock back.
    void StoreAndRelease() {
      if (released_ || !unit_.state_) return;
      released_ = true;
      if (unit_.firmware_) {
        const auto after = unit_.firmware_->SaveState();
        if (after != before_) unit_.state_->Write(after);
      }
      unit_.state_->Unlock();
    }
    ~SharedState() { StoreAndRelease(); }
    SharedState(const SharedState&) = delete;
    SharedState& operator=(const SharedState&) = delete;

   private:
    VirtualUnit& unit_;
    std::vector<std::uint8_t> before_;
    bool released_ = false;
  };

  std::uint32_t command_us_ = 0;
  std::uint64_t byte_ns_ = 0;

  VirtualUnit(fs::path folder, emu::DeviceConfig config, std::string config_text,
              std::unique_ptr<emu::FileStorage> flash, std::unique_ptr<emu::FileStorage> eeprom)
      : folder_(std::move(folder)),
        config_text_(std::move(config_text)),
        flash_(std::move(flash)),
        eeprom_(std::move(eeprom)),
        firmware_(std::make_unique<emu::Firmware>(config.identity, *flash_, *eeprom_)),
        state_(std::make_unique<StateFile>(folder_)) {
    Configure(config);
  }

  void Configure(const emu::DeviceConfig& config) {
    firmware_->SetFaults(config.faults);
    command_us_ = config.faults.command_us;
    byte_ns_ = config.faults.byte_ns;
    if (config.trace && trace_ == nullptr) {
      trace_ = std::fopen((folder_ / emu::kTraceFile).string().c_str(), "ab");
    } else if (!config.trace && trace_ != nullptr) {
      std::fclose(trace_);
      trace_ = nullptr;
    }
  }

  // A unit is plugged in while its device.conf is where it was; a changed device.conf brings its
  // new fault settings. Time stamps are only kept to a second or two on some systems (and by the
  // Windows C library), so a file stamped recently is read again whatever its stamp says; an
  // older one only when its stamp has moved. Once gone, a unit stays gone for this handle, as a
  // real one does.
  bool StillPlugged() {
    std::error_code ec;
    const auto stamp = fs::last_write_time(folder_ / emu::kConfigFile, ec);
    if (!ec && stamp == stamp_ && fs::file_time_type::clock::now() - stamp > kStampResolution) return true;
    auto text = ec ? std::nullopt : ReadConfigText(folder_);
    if (!text) {
      gone_ = true;
      CloseFiles();
      return false;
    }
    stamp_ = stamp;
    if (*text != config_text_) {
      config_text_ = std::move(*text);
      if (auto config = emu::ParseDeviceConfig(config_text_, nullptr)) Configure(*config);
    }
    return true;
  }

  // The injected unplug: the unit leaves its place among the plugged-in devices, so discovery no
  // longer lists it and the hot-plug source reports its removal.
  void PullOut() {
    gone_ = true;
    CloseFiles();  // open files would keep Windows from moving the folder
    std::error_code ec;
    const fs::path parked = folder_.parent_path() / emu::kUnpluggedFolder;
    fs::create_directories(parked, ec);
    fs::path target = parked / folder_.filename();
    for (int i = 1; fs::exists(target, ec); ++i) {
      target = parked / (folder_.filename().string() + "." + std::to_string(i));
    }
    fs::rename(folder_, target, ec);
  }

  void Trace(const CommandBlock& command) {
    if (trace_ == nullptr) return;
    const char* direction = command.length == 0 ? "none" : command.direction == DataDirection::kIn ? "in" : "out";
    std::string line = direction;
    line += ' ';
    line += Hex(command.cdb, command.cdb_length);
    line += ' ';
    line += std::to_string(command.length);
    // Request blocks and other short data-out phases are logged with their bytes.
    if (command.direction == DataDirection::kOut && command.length > 0 && command.length <= 64 && command.data) {
      line += ' ';
      line += Hex(command.data, command.length);
    }
    line += "\n";
    std::fwrite(line.data(), 1, line.size(), trace_);
    std::fflush(trace_);
  }

  void CloseFiles() {
    if (trace_ != nullptr) std::fclose(trace_);
    trace_ = nullptr;
    state_.reset();
    firmware_.reset();
    flash_.reset();
    eeprom_.reset();
  }

  std::mutex mutex_;
  fs::path folder_;
  std::string config_text_;
  fs::file_time_type stamp_{};  // of the device.conf last read
  std::unique_ptr<emu::FileStorage> flash_;
  std::unique_ptr<emu::FileStorage> eeprom_;
  std::unique_ptr<emu::Firmware> firmware_;
  std::unique_ptr<StateFile> state_;
  std::FILE* trace_ = nullptr;
  bool gone_ = false;
};

// The units this process has open, by folder, so that several device objects on one folder
// share one firmware state. A unit that has gone is replaced when its folder is plugged again.
std::shared_ptr<VirtualUnit> AcquireUnit(const std::string& path) {
  static auto* lock = new std::mutex;
  static auto* units = new std::map<std::string, std::weak_ptr<VirtualUnit>>;
  std::lock_guard guard(*lock);
  for (auto it = units->begin(); it != units->end();) {
    it = it->second.expired() ? units->erase(it) : std::next(it);
  }
  if (auto it = units->find(path); it != units->end()) {
    if (auto unit = it->second.lock(); unit && !unit->gone()) return unit;
  }
  auto unit = VirtualUnit::Open(path);
  if (unit) (*units)[path] = unit;
  return unit;
}

// What a unit told to refuse opens reports: the system's numbers for "access denied" and "in
// use by another program" (Windows numbers, as above), with texts that read the same on every
// platform.
OpenFailure RefusalOf(emu::Faults::OpenRefusal refusal) {
  if (refusal == emu::Faults::OpenRefusal::kDenied) return {5, "Permission denied"};
  return {32, "Device or resource busy"};
}

class EmulatedTransport : public Transport {
 public:
  bool Open(const std::string& path) override {
    Close();
    failure_ = {};
    if (const auto config = emu::LoadDeviceConfig(path, nullptr);
        config && config->faults.refuse_open != emu::Faults::OpenRefusal::kNone) {
      failure_ = RefusalOf(config->faults.refuse_open);
      return false;
    }
    unit_ = AcquireUnit(path);
    if (unit_ == nullptr) failure_ = {2, "No such file or directory"};
    return unit_ != nullptr;
  }
  OpenFailure LastOpenFailure() const override { return failure_; }
  void Close() override {
    exchange_.reset();
    unit_.reset();
  }
  bool IsOpen() const override { return unit_ != nullptr; }

  // The exchange lock is a lock file in the device folder, as flock on the sg node is for a real
  // unit on Linux. It stays open while the transport is open, like the unit's other files.
  std::uint32_t LockUnit(std::chrono::milliseconds wait) override {
    if (!exchange_) exchange_ = std::make_unique<emu::FileLock>((unit_->folder() / emu::kExchangeLockFile).string());
    if (!exchange_->valid()) {
      exchange_.reset();
      return 0;  // the folder has gone: the unit is pulled out, which the command reports
    }
    return exchange_->Lock(wait) ? 0 : kDeviceBusy;
  }
  void UnlockUnit() override {
    if (exchange_) exchange_->Unlock();
  }

  CommandOutcome Carry(const CommandBlock& command) override { return unit_->Carry(command); }

 private:
  std::shared_ptr<VirtualUnit> unit_;
  std::unique_ptr<emu::FileLock> exchange_;
  OpenFailure failure_;
};

class EmulatedBackend : public Backend {
 public:
  explicit EmulatedBackend(std::string root) : root_(std::move(root)) {}

  bool ListDevices(DeviceRecords& out) override {
    DeviceRecords disks;
    DeviceRecords cdroms;
    std::error_code ec;
    fs::directory_iterator it(root_, ec);
    if (ec) return false;  // no such folder: nothing can be listed
    for (fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (name.empty() || name[0] == '.' || !it->is_directory(ec)) continue;
      const auto config = emu::LoadDeviceConfig(it->path(), nullptr);
      if (!config) continue;  // not (or not yet) a device
      DeviceRecord record;
      record.path = it->path().string();
      record.name = UnitName(name, record.path);
      const auto& id = config->identity;
      const bool cdrom = id.type == emu::UnitType::kCdRom;
      record.hardware_id =
          ComposeHardwareId(cdrom ? UnitType::kCdRom : UnitType::kDisk, id.vendor, id.product, id.revision);
      record.usb_vendor_id = config->usb_vendor_id;
      record.usb_product_id = config->usb_product_id;
      record.hub = config->hub;
      record.port = config->port;
      (cdrom ? cdroms : disks).push_back(std::move(record));
    }
    const auto by_name = [](const DeviceRecord& a, const DeviceRecord& b) { return a.path < b.path; };
    std::sort(disks.begin(), disks.end(), by_name);
    std::sort(cdroms.begin(), cdroms.end(), by_name);
    disks.insert(disks.end(), std::make_move_iterator(cdroms.begin()), std::make_move_iterator(cdroms.end()));
    out = std::move(disks);
    return true;
  }

  std::unique_ptr<Transport> CreateTransport() override { return std::make_unique<EmulatedTransport>(); }

 private:
  // The unit's short name (16 characters at most): the folder name cut to 7 characters, '@', and
  // a hash of the folder's whole path. Names are how the agent knows a unit again; with the
  // hash, a unit is never taken for another whose folder has the same name in another folder of
  // virtual devices (a process pointed elsewhere), nor for one whose name starts the same.
  static std::string UnitName(const std::string& folder_name, const std::string& path) {
    return folder_name.substr(0, 7) + "@" + Hash(path);
  }

  static std::string Hash(const std::string& text) {
    std::uint32_t hash = 2166136261u;  // FNV-1a
    for (const char c : text) hash = (hash ^ static_cast<std::uint8_t>(c)) * 16777619u;
    std::string hex;
    for (int shift = 28; shift >= 0; shift -= 4) hex += "0123456789abcdef"[(hash >> shift) & 15];
    return hex;
  }

  fs::path root_;
};

}  // namespace

std::shared_ptr<Backend> CreateEmulatedBackend(const std::string& root) {
  return std::make_shared<EmulatedBackend>(root);
}

}  // namespace velkin::qm::os
