// Firmware model of the playback device: answers the vendor command set (and the few standard
// SCSI commands a host sends to any unit) on a flash store and an EEPROM store, with injectable
// faults.
//
// The interface is a plain one, so that any host-side carrier can put the model behind it: a
// command block and a data buffer go in, a status with sense data (or a transport fault) and the
// delivered data come out. The model keeps the state a real unit keeps between commands: the
// reply to the last request block, an EEPROM operation in progress, a whole-chip erase in
// progress, the I/O port.
//
// Not thread-safe: one command at a time (callers that share a model across threads lock).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "faults.h"
#include "storage.h"

namespace velkin::emu {

enum class UnitType : std::uint8_t { kDisk, kCdRom };

struct Identity {
  std::string vendor = "QUAMIRA";      // INQUIRY vendor, at most 8 characters
  std::string product = "VOXA CDROM";  // INQUIRY product, at most 16 characters
  std::string revision = "1.00";       // INQUIRY revision, at most 4 characters
  UnitType type = UnitType::kCdRom;
  std::array<std::uint8_t, 3> flash_id{0x20, 0x20, 0x14};  // manufacturer, memory type, capacity code
};

// Data phase direction as the host's pass-through request gives it.
enum class Direction : std::uint8_t { kNone, kOut, kIn };

// Sense data of a CHECK CONDITION: key, additional sense code and qualifier.
struct Sense {
  std::uint8_t key = 0;
  std::uint8_t asc = 0;
  std::uint8_t ascq = 0;
  friend bool operator==(const Sense&, const Sense&) = default;
};

// Well-known senses the model answers with.
inline constexpr Sense kInvalidOpcode{0x05, 0x20, 0x00};
inline constexpr Sense kAddressOutOfRange{0x05, 0x21, 0x00};
inline constexpr Sense kInvalidFieldInCdb{0x05, 0x24, 0x00};
inline constexpr Sense kInvalidFieldInParameters{0x05, 0x26, 0x00};
inline constexpr Sense kMediumNotPresent{0x02, 0x3A, 0x00};
inline constexpr Sense kWriteError{0x03, 0x0C, 0x00};

struct Response {
  enum class Kind : std::uint8_t {
    kGood,            // status GOOD; `transferred` bytes of data moved
    kCheckCondition,  // status CHECK CONDITION (0x02) with `sense`; no data moved
    kTransportError,  // the pass-through request itself fails with `os_error` (injected)
    kGone,            // the unit has been pulled out (injected): every later command too
  };
  Kind kind = Kind::kGood;
  std::uint32_t transferred = 0;
  Sense sense{};
  std::uint32_t os_error = 0;

  std::uint8_t status() const { return kind == Kind::kCheckCondition ? 0x02 : 0x00; }
  // The 18-byte fixed-format sense data (response code 0x70) for a CHECK CONDITION.
  std::array<std::uint8_t, 18> FixedSense() const;
};

class Firmware {
 public:
  // The stores belong to the caller and must outlive the model. The flash capacity is the flash
  // store's size.
  Firmware(Identity identity, Storage& flash, Storage& eeprom);

  // Replaces the fault set; the consumable counters (fail/check counts, unplug countdown) start
  // afresh.
  void SetFaults(const Faults& faults);
  const Identity& identity() const { return identity_; }

  // Answers one command. `data` is the host's buffer: read from for kOut, filled for kIn
  // (only on kGood, and only its first `transferred` bytes).
  Response Execute(std::span<const std::uint8_t> cdb, Direction direction, std::span<std::uint8_t> data);

  // The state a unit keeps between commands (the reply block, an EEPROM operation or a whole-chip
  // erase in progress, the I/O port) as bytes, so that every program on a virtual device meets
  // one unit. LoadState takes what SaveState gave; anything else (an empty or foreign file) is
  // refused and leaves the state as it was.
  std::vector<std::uint8_t> SaveState() const;
  bool LoadState(std::span<const std::uint8_t> bytes);

  // Observable device state (for tools and tests).
  bool io_port_set() const { return io_port_set_; }
  bool gone() const { return gone_; }
  std::uint64_t commands_seen() const { return commands_; }

 private:
  Response Vendor(std::span<const std::uint8_t> cdb, Direction direction, std::span<std::uint8_t> data);
  Response MemoryErase(std::uint32_t address, std::uint8_t size_code);
  Response MemoryRead(std::uint32_t address, std::uint32_t count, Direction direction, std::span<std::uint8_t> data);
  Response MemoryWrite(std::uint32_t address, std::uint32_t count, Direction direction,
                       std::span<const std::uint8_t> data);
  Response DataOut(Direction direction, std::span<const std::uint8_t> data);
  Response DataIn(Direction direction, std::span<std::uint8_t> data);
  Response Inquiry(std::span<const std::uint8_t> cdb, Direction direction, std::span<std::uint8_t> data);
  // `taken`: the bytes of the data phase, which may be fewer than a whole request block.
  Response EepromRequest(std::span<const std::uint8_t> request, std::uint32_t taken);
  void CompleteEeprom();
  std::optional<Response> InjectedFault(CommandKind kind);

  Identity identity_;
  Storage& flash_;
  Storage& eeprom_;
  Faults faults_;
  std::uint32_t fail_left_ = 0;
  std::uint32_t check_left_ = 0;
  std::uint64_t commands_ = 0;
  bool gone_ = false;
  bool io_port_set_ = false;

  // The reply block the next data-in command returns; it stays until the next request.
  std::array<std::uint8_t, 64> reply_{};
  // An EEPROM operation in progress: its request, and how many busy replies are still due.
  struct EepromOperation {
    std::array<std::uint8_t, 64> request{};
    std::uint32_t busy_left = 0;
    bool forever = false;
  };
  std::optional<EepromOperation> eeprom_op_;
  // A whole-chip erase in progress: end polls still due before it reports the end.
  std::optional<std::uint32_t> bulk_erase_polls_left_;
};

}  // namespace velkin::emu
