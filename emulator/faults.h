// Faults a virtual device can be told to show, and their text form in device.conf.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velkin::emu {

// Which commands a fault applies to.
enum class CommandKind : std::uint8_t {
  kAny,
  kErase,    // memory erase (0xFD 0x20)
  kRead,     // memory read (0xFD 0x28)
  kWrite,    // memory write (0xFD 0x2A)
  kDataOut,  // request block (0xE0)
  kDataIn,   // reply block (0xD0)
  kInquiry,  // INQUIRY (0x12)
  kOther,    // anything else
};

std::optional<CommandKind> ParseCommandKind(std::string_view text);
const char* CommandKindName(CommandKind kind);
// The kind of a command block.
CommandKind ClassifyCommand(const std::uint8_t* cdb, std::size_t length);

struct Faults {
  // The pass-through call fails with `fail_error` for commands of this kind; `fail_count` calls
  // fail, then the unit answers again (0: every call fails).
  std::optional<CommandKind> fail;
  std::uint32_t fail_count = 0;
  std::uint32_t fail_error = 31;  // a general "device not functioning" error number

  // The unit answers CHECK CONDITION with `check_sense` (key, ASC, ASCQ) for commands of this
  // kind; `check_count` times, 0: always.
  std::optional<CommandKind> check;
  std::uint32_t check_count = 0;
  std::uint8_t check_sense[3] = {0x05, 0x24, 0x00};

  // EEPROM operations answer busy ('Z' in byte 0) this many times before they end; forever when
  // `eeprom_busy_forever` is set.
  std::uint32_t eeprom_busy = 0;
  bool eeprom_busy_forever = false;
  // EEPROM operations end with a failure mark (byte 8 other than 'Z'); nothing is written.
  bool eeprom_fail = false;

  // The flash identity reply carries a wrong echo byte.
  bool wrong_echo = false;

  // A memory write whose range covers this flash address is refused (CHECK CONDITION, write
  // error); nothing of it is written.
  std::optional<std::uint32_t> refuse_write_at;

  // After this many commands the unit is gone: every later command finds no device.
  std::optional<std::uint32_t> unplug_after;

  // Whole-chip erase: end polls answered "not yet" before the end is reported.
  std::uint32_t bulk_erase_polls = 3;

  // The unit is listed but cannot be opened: as for a user without access to it ("denied"), or
  // while another program holds it exclusively ("busy").
  enum class OpenRefusal : std::uint8_t { kNone, kDenied, kBusy };
  OpenRefusal refuse_open = OpenRefusal::kNone;

  // Every command takes `command_us` microseconds, plus `byte_ns` nanoseconds for each byte of
  // its data, before it is answered, as it does over USB on a real unit: a virtual unit otherwise
  // answers in microseconds, and what a program adds around the unit's own time could not be
  // measured against it. Not faults; kept with them so that velkin-emu and device.conf set them
  // the same way.
  std::uint32_t command_us = 0;
  std::uint32_t byte_ns = 0;
};

// device.conf keys of the faults: fail, fail_error, check, sense, eeprom_busy, eeprom_fail,
// wrong_echo, refuse_write_at, unplug_after, bulk_erase_polls, refuse_open, command_us, byte_ns. Values as velkin-emu
// writes them
// ("write:2", "05 24 00", "forever", "0x3000"). Returns false (and names the key in `error`) for
// an unknown key or a value that does not parse.
bool ApplyFaultSetting(Faults& faults, std::string_view key, std::string_view value, std::string* error);
bool IsFaultKey(std::string_view key);
// The settings that differ from a default Faults, as key/value pairs.
std::vector<std::pair<std::string, std::string>> FaultSettings(const Faults& faults);

}  // namespace velkin::emu
