#include "devices.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <new>

#include "device/qmlib/qm_codes.h"

namespace velkin::studio {
namespace {

using nlohmann::json;

constexpr std::uint32_t kBlockSize = 4096;
constexpr std::uint32_t kSectorSize = 0x10000;
constexpr std::uint32_t kSectorEraseCode = 128;  // a 64 KiB block in 512-byte units
constexpr std::uint8_t kRecordAddress = 16;
constexpr std::uint32_t kDefaultFlashSize = 1u << 20;

std::string Hex(std::uint32_t value, int digits = 6) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

// The flash size from the identity's capacity code (2^code bytes, 64 KiB to 128 MiB).
std::uint32_t FlashSizeOf(std::uint8_t capacity) {
  return capacity >= 16 && capacity <= 27 ? 1u << capacity : 0;
}

}  // namespace

bool ParseRecord(const std::string& text, std::uint8_t* out) {
  if (text.size() != 32) return false;
  for (std::size_t i = 0; i < 16; ++i) {
    unsigned value = 0;
    for (std::size_t k = 0; k < 2; ++k) {
      const char c = text[2 * i + k];
      unsigned digit = 0;
      if (c >= '0' && c <= '9') {
        digit = static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<unsigned>(c - 'A' + 10);
      } else {
        return false;
      }
      value = value * 16 + digit;
    }
    out[i] = static_cast<std::uint8_t>(value);
  }
  return true;
}

std::string RecordText(const std::uint8_t* bytes, std::size_t count) {
  std::string out;
  char two[3];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(two, sizeof two, "%02X", bytes[i]);
    out += two;
  }
  return out;
}

bool Unit::Open(const std::string& vendor, const std::string& product) {
  return OpenNamed(vendor.c_str(), product.c_str(), name_.c_str()) > 0;
}

std::int32_t Unit::Talk(const std::function<std::int32_t(qm::VendorCommands&)>& body) {
  return Exchange(name_.c_str(), [&](qm::I_QMMassStorageDevice& device) {
    qm::VendorCommands commands(device, [this] { PauseBetweenPolls(); });
    return body(commands);
  });
}

Unit::Trouble Unit::Explain(std::int32_t code) {
  if (CheckConnectionByName(name_.c_str()) != qm::kQmOk) return {Failure::kUnitPulled, "unit pulled"};
  if (code == qm::kQmCheckCondition) {
    return {Failure::kUnitRefused, "refused (sense " + Hex(LastSenseByName(name_.c_str())) + ")"};
  }
  return {Failure::kNoAnswer, "no answer (code " + std::to_string(code) + ")"};
}

DeviceHub::DeviceHub(std::string vendor, std::string product, EventHub& events, JobBoard& jobs)
    : vendor_(std::move(vendor)), product_(std::move(product)), events_(events), jobs_(jobs) {}

DeviceHub::~DeviceHub() {
  Stop();
}

void DeviceHub::Start() {
  Rescan();
  hotplug_ = qm::os::StartHotplugSource([this](const qm::os::HotplugEvent&) {
    {
      std::lock_guard guard(wake_lock_);
      rescan_ = true;
    }
    wake_.notify_one();
  });
  watcher_ = std::thread([this] { Watch(); });
}

void DeviceHub::Stop() {
  hotplug_.reset();
  {
    std::lock_guard guard(wake_lock_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (watcher_.joinable()) watcher_.join();
}

void DeviceHub::Watch() {
  std::unique_lock guard(wake_lock_);
  while (!stopping_) {
    // Also a slow poll, for systems whose event source gives nothing.
    wake_.wait_for(guard, std::chrono::seconds(2), [&] { return stopping_ || rescan_; });
    if (stopping_) break;
    rescan_ = false;
    guard.unlock();
    Rescan();
    guard.lock();
  }
}

void DeviceHub::Rescan() {
  std::lock_guard scan(scan_lock_);
  // A table of its own only for listing: which names carry the texts now.
  std::vector<std::string> present;
  {
    qm::C_OpenDeviceTable lister;
    lister.SetMatchTexts(vendor_.c_str(), product_.c_str());
    if (lister.Refresh(2) == qm::kQmOk && lister.agent() != nullptr) {
      qm::C_QMUsbDeviceAgentThreadLock agent_lock;
      for (std::int32_t i = 0; i < lister.agent()->Count(); ++i) {
        if (const auto* info = lister.agent()->DeviceInfo(i)) present.emplace_back(info->Name());
      }
    }
  }
  bool changed = false;
  std::vector<std::shared_ptr<Unit>> arrived;
  {
    std::lock_guard guard(lock_);
    for (auto it = units_.begin(); it != units_.end();) {
      if (std::find(present.begin(), present.end(), it->first) == present.end()) {
        // A job still holding the unit finds it gone on its next command.
        it = units_.erase(it);
        changed = true;
      } else {
        ++it;
      }
    }
    for (const auto& name : present) {
      if (units_.count(name) == 0) arrived.push_back(std::make_shared<Unit>(name));
    }
  }
  for (auto& unit : arrived) {
    if (!unit->Open(vendor_, product_)) continue;
    ReadIdentity(*unit);
    std::lock_guard guard(lock_);
    units_[unit->name()] = unit;
    changed = true;
  }
  if (changed) Publish();
}

void DeviceHub::ReadIdentity(Unit& unit) {
  json identity = {{"name", unit.name()}};
  {
    qm::C_QMUsbDeviceAgentThreadLock agent_lock;
    const std::int32_t index = unit.agent() != nullptr ? unit.agent()->IndexOfName(unit.name().c_str()) : -1;
    if (const auto* info = index >= 0 ? unit.agent()->DeviceInfo(index) : nullptr) {
      identity["vendor"] = info->VendorText();
      identity["product"] = info->ProductText();
      identity["usb_vendor_id"] = Hex(info->UsbVendorId(), 4);
      identity["usb_product_id"] = Hex(info->UsbProductId(), 4);
      identity["hub"] = info->HubNumber();
      identity["port"] = info->PortNumber();
    }
  }
  std::uint8_t id[3] = {};
  std::uint8_t product_record[16] = {};
  std::uint8_t record[16] = {};
  const bool have_id = unit.Talk([&](qm::VendorCommands& c) {
    return c.ReadFlashIdentity(&id[0], &id[1], &id[2]) ? qm::kQmOk : qm::kQmUnusable;
  }) == qm::kQmOk;
  unit.flash_size = have_id ? FlashSizeOf(id[2]) : 0;
  identity["flash_id"] = have_id ? json(RecordText(id, sizeof id)) : json(nullptr);
  identity["flash_size"] = unit.flash_size;
  const auto read = [&](std::uint8_t address, std::uint8_t* into) {
    return unit.Talk([&](qm::VendorCommands& c) {
      return c.ReadEeprom16(address, into) ? qm::kQmOk : qm::kQmUnusable;
    }) == qm::kQmOk;
  };
  identity["eeprom_product"] = read(0, product_record) ? json(RecordText(product_record)) : json(nullptr);
  identity["eeprom_record"] = read(kRecordAddress, record) ? json(RecordText(record)) : json(nullptr);
  std::lock_guard guard(unit.identity_lock);
  unit.identity = identity;
}

void DeviceHub::Publish() {
  events_.Publish("devices", List());
}

json DeviceHub::List() {
  json out = json::array();
  for (const auto& unit : All()) {
    std::lock_guard guard(unit->identity_lock);
    json entry = unit->identity;
    entry["busy"] = unit->busy.load();
    out.push_back(entry);
  }
  return out;
}

std::shared_ptr<Unit> DeviceHub::Find(const std::string& name) {
  std::lock_guard guard(lock_);
  const auto it = units_.find(name);
  return it == units_.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<Unit>> DeviceHub::All() {
  std::lock_guard guard(lock_);
  std::vector<std::shared_ptr<Unit>> out;
  for (const auto& [name, unit] : units_) out.push_back(unit);
  return out;
}

Started DeviceHub::StartUnitJob(const std::shared_ptr<Unit>& unit, JobKind kind, std::function<void(Job&)> work) {
  if (unit->busy.exchange(true)) return {nullptr, Refusal::kBusy};
  Publish();
  // Free for the next job before anyone learns that this one has ended.
  Started started;
  try {
    started = jobs_.Spawn(
        kind, unit->name(),
        [this, unit, work = std::move(work)](Job& job) {
          work(job);
          // Read again after the outcome: the identity read waits its turn at the unit.
          ReadIdentity(*unit);
          Publish();
        },
        [this, unit](JobState, const std::string&) {
          unit->busy = false;
          Publish();
        });
  } catch (const std::bad_alloc&) {
    // Not even the job could be made: the unit stays free, and the request hears so.
    started = {nullptr, Refusal::kResources};
  }
  if (!started.job) {
    unit->busy = false;
    Publish();
  }
  return started;
}

Started DeviceHub::WriteRecord(const std::shared_ptr<Unit>& unit, const std::uint8_t* bytes) {
  std::array<std::uint8_t, 16> record{};
  std::memcpy(record.data(), bytes, record.size());
  return StartUnitJob(unit, JobKind::kEeprom, [unit, record](Job& job) {
    job.Step("eeprom", 0);
    const bool ok = unit->Talk([&](qm::VendorCommands& c) {
      return c.WriteEeprom16(kRecordAddress, record.data()) ? qm::kQmOk : qm::kQmUnusable;
    }) == qm::kQmOk;
    if (!ok) {
      const auto trouble = unit->Explain(qm::kQmUnusable);
      if (trouble.kind == Failure::kUnitPulled) return job.Fail(trouble.kind, "unit pulled");
      return job.Fail(Failure::kUnitRefused, "EEPROM busy or write refused");
    }
    // Read back before the job ends, so that the unit's list shows the record once it says "written".
    ReadIdentity(*unit);
    json identity;
    {
      std::lock_guard guard(unit->identity_lock);
      identity = unit->identity;
    }
    job.Succeed("written", identity);
  });
}

Started DeviceHub::Program(const std::shared_ptr<Unit>& unit, const ProgramRequest& request) {
  return StartUnitJob(unit, JobKind::kProgram, [unit, request](Job& job) { RunProgram(*unit, request, job); });
}

void DeviceHub::RunProgram(Unit& unit, const ProgramRequest& request, Job& job) {
  std::ifstream in(request.sound_file, std::ios::binary);
  const std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(in)), {});
  if (image.empty()) return job.Fail(Failure::kInput, "the code file cannot be read");
  const std::uint32_t flash_size = unit.flash_size != 0 ? unit.flash_size : kDefaultFlashSize;
  if (image.size() > flash_size) {
    return job.Fail(Failure::kInput, "the code file (" + std::to_string(image.size()) +
                                         " bytes) does not fit the flash (" + std::to_string(flash_size) + " bytes)");
  }
  const auto size = static_cast<std::uint32_t>(image.size());

  // The whole flash, sector by sector, as the console's download erases it.
  job.Step("erase", 0);
  const std::uint32_t sectors = flash_size / kSectorSize;
  for (std::uint32_t i = 0; i < sectors; ++i) {
    if (job.Cancelled()) return job.Fail(Failure::kCancelled, "cancelled");
    const std::uint32_t address = i * kSectorSize;
    const std::int32_t code =
        unit.Talk([&](qm::VendorCommands& c) { return c.EraseMemory(address, kSectorEraseCode); });
    if (code != qm::kQmOk) {
      const auto trouble = unit.Explain(code);
      return job.Fail(trouble.kind, "erase failed at address " + Hex(address) + ": " + trouble.text);
    }
    job.Progress(static_cast<int>((i + 1) * 100 / sectors));
  }

  job.Step("write", 0);
  for (std::uint32_t address = 0; address < size; address += kBlockSize) {
    if (job.Cancelled()) return job.Fail(Failure::kCancelled, "cancelled");
    const std::uint32_t length = std::min(kBlockSize, size - address);
    const std::int32_t code =
        unit.Talk([&](qm::VendorCommands& c) { return c.WriteMemory(address, image.data() + address, length); });
    if (code != qm::kQmOk) {
      const auto trouble = unit.Explain(code);
      if (trouble.kind == Failure::kUnitPulled) {
        return job.Fail(trouble.kind, "write failed at address " + Hex(address) + ": unit pulled");
      }
      return job.Fail(trouble.kind, "refused write at address " + Hex(address) + ": " + trouble.text);
    }
    job.Progress(static_cast<int>(static_cast<std::uint64_t>(address + length) * 100 / size));
  }

  if (request.with_record) {
    job.Step("eeprom", 0);
    const bool ok = unit.Talk([&](qm::VendorCommands& c) {
      return c.WriteEeprom16(kRecordAddress, request.record) ? qm::kQmOk : qm::kQmUnusable;
    }) == qm::kQmOk;
    if (!ok) {
      if (unit.Explain(qm::kQmUnusable).kind == Failure::kUnitPulled) {
        return job.Fail(Failure::kUnitPulled, "EEPROM record: unit pulled");
      }
      return job.Fail(Failure::kUnitRefused, "EEPROM record: EEPROM busy or write refused");
    }
  }

  // Only what is read back counts: the unit's own word that a write went through is not enough.
  job.Step("verify", 0);
  std::vector<std::uint8_t> block(kBlockSize);
  for (std::uint32_t address = 0; address < size; address += kBlockSize) {
    if (job.Cancelled()) return job.Fail(Failure::kCancelled, "cancelled");
    const std::uint32_t length = std::min(kBlockSize, size - address);
    const std::int32_t code =
        unit.Talk([&](qm::VendorCommands& c) { return c.ReadMemory(address, block.data(), length); });
    if (code != qm::kQmOk) {
      const auto trouble = unit.Explain(code);
      return job.Fail(trouble.kind, "read-back failed at address " + Hex(address) + ": " + trouble.text);
    }
    for (std::uint32_t i = 0; i < length; ++i) {
      if (block[i] != image[address + i]) {
        return job.Fail(Failure::kMismatch, "read-back mismatch at offset " + Hex(address + i));
      }
    }
    job.Progress(static_cast<int>(static_cast<std::uint64_t>(address + length) * 100 / size));
  }
  if (request.with_record) {
    std::uint8_t back[16] = {};
    const bool ok = unit.Talk([&](qm::VendorCommands& c) {
      return c.ReadEeprom16(kRecordAddress, back) ? qm::kQmOk : qm::kQmUnusable;
    }) == qm::kQmOk;
    if (!ok) {
      const auto trouble = unit.Explain(qm::kQmUnusable);
      return job.Fail(trouble.kind, "EEPROM read-back failed: " + trouble.text);
    }
    if (std::memcmp(back, request.record, 16) != 0) return job.Fail(Failure::kMismatch, "EEPROM read-back mismatch");
  }
  job.Succeed("verified", {{"bytes", size}});
}

}  // namespace velkin::studio
