// Transport seam: how one device object reaches its unit.
//
// A transport carries exactly one command block with an optional data phase and reports what
// happened. It makes one attempt only: the retry of failed pass-through calls, the packing of
// the sense triple and the busy polling of the request/reply conversations live once, in the
// portable device object above this seam (mass_storage_device.cpp, vendor_commands.cpp).
//
// How a backend plugs in: see backend.h.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>

namespace velkin::qm::os {

// Out covers both data-out commands and commands without a data phase (length 0).
enum class DataDirection : std::uint8_t { kOut, kIn };

struct CommandBlock {
  const std::uint8_t* cdb = nullptr;
  std::uint8_t cdb_length = 0;  // 16 for the vendor command set, 6 for INQUIRY
  DataDirection direction = DataDirection::kOut;
  std::uint8_t* data = nullptr;  // kIn: filled; kOut: only read (may be null when length is 0)
  std::uint32_t length = 0;
  std::uint32_t timeout_seconds = 10;
};

enum class OutcomeKind : std::uint8_t {
  kSuccess,         // the unit answered GOOD
  kOsError,         // the pass-through call itself failed (worth retrying)
  kCheckCondition,  // the unit answered with a non-zero SCSI status; sense bytes are given
  kDeviceGone,      // the unit is no longer there; every later command fails the same way
};

struct CommandOutcome {
  OutcomeKind kind = OutcomeKind::kSuccess;
  std::uint32_t transferred = 0;         // kSuccess: bytes delivered by the unit (data-in) or taken (data-out)
  std::uint32_t os_error = 0;            // kOsError, kDeviceGone: the system's error number
  std::uint8_t scsi_status = 0;          // kCheckCondition: the SCSI status byte (non-zero)
  std::uint8_t sense_length = 0;         // kCheckCondition: valid bytes in `sense`
  std::array<std::uint8_t, 32> sense{};  // fixed-format sense data as the unit returned it
};

// Why an open failed: the system's error number and its text ("Permission denied").
struct OpenFailure {
  std::uint32_t error = 0;  // 0: no failure
  std::string text;
};

class Transport {
 public:
  virtual ~Transport() = default;

  // Opens the unit at `path` (a DeviceRecord::path of the same backend). Any open unit is closed
  // first. False leaves the transport closed.
  virtual bool Open(const std::string& path) = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  // Why the last Open failed (nothing after a successful one).
  virtual OpenFailure LastOpenFailure() const { return {}; }

  // Exclusion among programs for one exchange (a command, or a request block with its replies):
  // a unit keeps one pending reply for every host, so a second program must not come between a
  // request and its replies. Only called while open; UnlockUnit only after a LockUnit that gave 0.
  // Waits at most `wait`. 0 when the unit is held (also when there is nothing to exclude, or the
  // unit is gone, which Carry then reports); otherwise the system's error number for a busy unit,
  // when another program kept it that long.
  virtual std::uint32_t LockUnit(std::chrono::milliseconds /*wait*/) { return 0; }
  virtual void UnlockUnit() {}

  // One attempt at one command; only called while open. Contract: the caller's data buffer is
  // written only when the outcome is kSuccess, and then only its first `transferred` bytes.
  // Calls on one transport come from one thread at a time (the device object serialises them).
  virtual CommandOutcome Carry(const CommandBlock& command) = 0;
};

}  // namespace velkin::qm::os
