#include "unit.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <thread>
#include <tuple>

#include "device/qmlib/opened_unit.h"
#include "device/qmlib/qm_codes.h"
#include "device/qmlib/vendor_command_set.h"

namespace velkin::programming {
namespace {

std::string Hex(std::uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
  return text;
}

UnitIdentity IdentityOf(const qm::C_QMUsbDeviceInfo& info) {
  UnitIdentity identity;
  identity.name = info.Name();
  identity.vendor = info.VendorText();
  identity.product = info.ProductText();
  identity.usb_vendor_id = info.UsbVendorId();
  identity.usb_product_id = info.UsbProductId();
  identity.hub = info.HubNumber();
  identity.port = info.PortNumber();
  return identity;
}

}  // namespace

// The unit's own device table, with the open by name that the opened unit keeps to its
// subclasses.
class Unit::Table : public qm::C_OpenedUnit {
 public:
  std::int32_t Open(const MatchTexts& texts, const std::string& name) {
    return OpenNamed(texts.vendor.c_str(), texts.product.c_str(), name.c_str());
  }
};

bool TrayOrder(const UnitIdentity& a, const UnitIdentity& b) {
  return std::tie(a.hub, a.port, a.name) < std::tie(b.hub, b.port, b.name);
}

Unit::Unit(std::string name) : name_(std::move(name)), table_(std::make_unique<Table>()) {}

Unit::~Unit() = default;

UnitIdentity Unit::Identity() const {
  std::lock_guard guard(identity_lock_);
  return identity_;
}

UnitIdentity Unit::RefreshIdentity() {
  UnitIdentity identity;
  {
    qm::C_QMUsbDeviceAgentThreadLock agent_lock;
    auto* agent = table_->agent();
    const std::int32_t index = agent != nullptr ? agent->IndexOfName(name_.c_str()) : -1;
    const qm::C_QMUsbDeviceInfo* info = index >= 0 ? agent->DeviceInfo(index) : nullptr;
    if (info != nullptr) {
      identity = IdentityOf(*info);
    } else {
      std::lock_guard guard(identity_lock_);
      identity = identity_;  // what the system said of it when it was opened
    }
  }
  identity.name = name_;
  std::array<std::uint8_t, 3> id{};
  if (TalkOk([&](qm::VendorCommands& c) { return c.ReadFlashIdentity(&id[0], &id[1], &id[2]); })) {
    identity.flash_id = id;
    identity.flash_size = qm::FlashSizeOfCapacity(id[2]);
  }
  const auto read = [&](std::uint8_t address) -> std::optional<Record> {
    Record record{};
    if (!TalkOk([&](qm::VendorCommands& c) { return c.ReadEeprom16(address, record.data()); })) return std::nullopt;
    return record;
  };
  identity.product_record = read(qm::kEepromProductAddress);
  identity.record = read(qm::kEepromRecordAddress);
  std::lock_guard guard(identity_lock_);
  identity_ = identity;
  return identity;
}

std::int32_t Unit::Talk(const std::function<std::int32_t(qm::VendorCommands&)>& body) {
  return table_->Exchange(name_.c_str(), [&](qm::I_QMMassStorageDevice& device) {
    qm::VendorCommands commands(device, [] { std::this_thread::sleep_for(qm::kBusyPollPause); });
    return body(commands);
  });
}

bool Unit::TalkOk(const std::function<bool(qm::VendorCommands&)>& body) {
  return Talk([&](qm::VendorCommands& c) { return body(c) ? qm::kQmOk : qm::kQmUnusable; }) == qm::kQmOk;
}

CommandCause Unit::Explain(std::int32_t code) {
  if (table_->CheckConnectionByName(name_.c_str()) != qm::kQmOk) return {CommandFault::kPulled, "unit pulled"};
  if (code == qm::kQmCheckCondition) {
    return {CommandFault::kRefused, "refused (sense " + Hex(table_->LastSenseByName(name_.c_str()), 6) + ")"};
  }
  return {CommandFault::kNoAnswer, "no answer (code " + std::to_string(code) + ")"};
}

// Reaches the unit's private constructor and table for OpenUnit.
struct UnitOpener {
  static OpenResult Open(const MatchTexts& texts, const std::string& name) {
    OpenResult result;
    std::unique_ptr<Unit> unit(new Unit(name));
    const std::int32_t opened = unit->table_->Open(texts, name);
    if (opened > 0) {
      unit->RefreshIdentity();
      result.unit = std::move(unit);
      return result;
    }
    if (opened == qm::C_OpenedUnit::kRefreshFailed) {
      result.error = "the units cannot be listed";
      return result;
    }
    // Listed but not openable (no access, held by another program), or not there at all.
    if (auto* agent = unit->table_->agent()) {
      qm::C_QMUsbDeviceAgentThreadLock agent_lock;
      for (const auto& info : agent->UnopenableDevices()) {
        if (name == info.Name()) {
          result.error = "cannot open the unit: " + info.OpenErrorText();
          return result;
        }
      }
      if (agent->IndexOfName(name.c_str()) >= 0) {
        result.error = "cannot open the unit";
        return result;
      }
    }
    result.not_found = true;
    result.error = "no such unit carries " + texts.vendor + " / " + texts.product;
    return result;
  }
};

OpenResult OpenUnit(const MatchTexts& texts, const std::string& name) {
  try {
    return UnitOpener::Open(texts, name);
  } catch (const std::exception& e) {
    OpenResult result;
    result.error = std::string("cannot open the unit: ") + e.what();
    return result;
  }
}

namespace {

std::vector<UnitIdentity> List(const MatchTexts& texts, bool read_units) {
  std::vector<UnitIdentity> units;
  {
    qm::C_OpenDeviceTable lister;
    lister.SetMatchTexts(texts.vendor.c_str(), texts.product.c_str());
    if (lister.Refresh(2) != qm::kQmOk || lister.agent() == nullptr) return units;
    qm::C_QMUsbDeviceAgentThreadLock agent_lock;
    for (std::int32_t i = 0; i < lister.agent()->Count(); ++i) {
      if (const auto* info = lister.agent()->DeviceInfo(i)) units.push_back(IdentityOf(*info));
    }
    for (const auto& info : lister.agent()->UnopenableDevices()) {
      units.push_back(IdentityOf(info));
      units.back().open_error = info.OpenErrorText();
      if (units.back().open_error.empty()) units.back().open_error = "cannot be opened";
    }
  }
  if (!read_units) return units;
  std::vector<UnitIdentity> read;
  for (auto& identity : units) {
    if (!identity.open_error.empty()) {
      read.push_back(std::move(identity));
      continue;
    }
    OpenResult opened = OpenUnit(texts, identity.name);
    if (opened.unit) {
      read.push_back(opened.unit->Identity());
    } else if (!opened.not_found) {  // one that left since the listing is not listed
      identity.open_error = opened.error;
      read.push_back(std::move(identity));
    }
  }
  return read;
}

}  // namespace

std::vector<UnitIdentity> ListUnits(const MatchTexts& texts, bool read_units) {
  try {
    return List(texts, read_units);
  } catch (const std::exception&) {
    return {};  // out of memory while listing: as if none were there
  }
}

}  // namespace velkin::programming
