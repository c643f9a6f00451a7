// The units that carry the identification texts: listing them with their identity, and opening
// one by its name. Every opened unit has a device table of its own in which it alone is opened,
// so several units are talked to at once, each under its own exchange lock (the export sets keep
// one opened unit per process and are not used here).
//
// Everything here that talks to a unit blocks the calling thread for as long as the unit takes;
// the tray and the watcher call it on threads of their own.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "device/programming/records.h"
#include "device/qmlib/vendor_commands.h"

namespace velkin::programming {

// The INQUIRY texts a unit must carry to be one of ours.
struct MatchTexts {
  std::string vendor = "QUAMIRA";
  std::string product = "VOXA CDROM";
};

struct UnitIdentity {
  std::string name;  // short, stays the same while the unit stays plugged in
  std::string vendor;
  std::string product;
  std::uint16_t usb_vendor_id = 0xFFFF;  // 0xFFFF: unknown
  std::uint16_t usb_product_id = 0xFFFF;
  std::int16_t hub = -1;  // -1: unknown
  std::int16_t port = -1;
  // Read from the unit itself; empty when it did not answer (or was not asked).
  std::optional<std::array<std::uint8_t, 3>> flash_id;  // manufacturer, memory type, capacity code
  std::uint32_t flash_size = 0;                         // from the capacity code; 0: unknown
  std::optional<Record> product_record;                 // EEPROM address 0
  std::optional<Record> record;                         // EEPROM address 16
  // Set for a unit that carries the texts but cannot be opened (no access, held elsewhere).
  std::string open_error;
};

// The tray's stable order: hub, then port, then name.
bool TrayOrder(const UnitIdentity& a, const UnitIdentity& b);

// What a failed command says about the unit.
enum class CommandFault {
  kPulled,   // the unit is gone
  kRefused,  // CHECK CONDITION: the unit answered with sense data
  kNoAnswer  // anything else from the transport
};
struct CommandCause {
  CommandFault fault = CommandFault::kNoAnswer;
  std::string text;  // "unit pulled", "refused (sense 0x052400)", "no answer (code 1)"
};

class Unit {
 public:
  ~Unit();
  Unit(const Unit&) = delete;
  Unit& operator=(const Unit&) = delete;

  const std::string& name() const { return name_; }

  // The identity read when the unit was opened or last refreshed.
  UnitIdentity Identity() const;
  // Reads the identity from the unit again (flash identity, both records) and keeps it.
  UnitIdentity RefreshIdentity();

  // One job at a time: true when the unit was free and is now claimed.
  bool TryClaim() { return !busy_.exchange(true); }
  void Release() { busy_ = false; }
  bool busy() const { return busy_; }

  // One conversation under the unit's exchange lock; a result code of the device library.
  std::int32_t Talk(const std::function<std::int32_t(qm::VendorCommands&)>& body);
  // The same for the conversations that answer true or false.
  bool TalkOk(const std::function<bool(qm::VendorCommands&)>& body);
  // Why the last failed command failed.
  CommandCause Explain(std::int32_t code);

 private:
  friend struct UnitOpener;
  class Table;
  explicit Unit(std::string name);

  const std::string name_;
  std::unique_ptr<Table> table_;
  mutable std::mutex identity_lock_;
  UnitIdentity identity_;
  std::atomic<bool> busy_{false};
};

struct OpenResult {
  std::unique_ptr<Unit> unit;  // null when it could not be opened
  bool not_found = false;      // no unit of that name carries the texts
  std::string error;           // why, for people
};

// Opens the unit of that name among those that carry the texts, and reads its identity.
OpenResult OpenUnit(const MatchTexts& texts, const std::string& name);

// The units that carry the texts, in the system's order, with what the system says of them
// (names, texts, USB identifiers, hub and port) and those that cannot be opened. With
// `read_units`, each is also opened and its flash identity and records are read.
std::vector<UnitIdentity> ListUnits(const MatchTexts& texts, bool read_units);

}  // namespace velkin::programming
