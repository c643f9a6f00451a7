// Jobs on one unit: program (erase, write, record, read back and compare), verify, read, erase,
// EEPROM read and write. A job runs on the calling thread, talks to the unit one command at a
// time, checks the cancel flag between commands, reports progress per step, and ends with a
// result that names the step and the address where it stopped. It never throws.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/programming/records.h"
#include "device/programming/unit.h"

namespace velkin::programming {

enum class JobKind { kProgram, kVerify, kRead, kErase, kEepromRead, kEepromWrite };

enum class Step {
  kStart,   // before the first command: checks, nothing sent yet
  kErase,   // the whole flash, sector by sector
  kWrite,   // the image in 4096-byte blocks
  kEeprom,  // the EEPROM record (write, or read for an EEPROM job)
  kVerify,  // read back and compare
  kRead,    // reading the flash out
  kDone
};

enum class Failure {
  kNone,
  kUnitPulled,    // the unit went away
  kRefused,       // a command answered with sense data (a write refused, ...)
  kNoAnswer,      // the transport failed otherwise
  kMismatch,      // what was read back differs from what was written
  kTooLarge,      // the image (or the length asked for) is larger than the flash
  kCancelled,     // stopped by the caller between two commands
  kBusy,          // the unit has another job running
  kCannotStart,   // the job could not be started (no thread, the unit cannot be opened, ...)
  kFileError,     // the image is missing or empty
  kNotFound,      // no unit of that name carries the texts
  kUnknownFlash,  // the flash identity cannot be read, so neither can its size
  kEepromFailed   // the EEPROM stayed busy or refused the operation
};

// Lower-case words for logs and JSON: "erase", "unit pulled", ...
const char* StepName(Step step);
const char* FailureName(Failure failure);
const char* JobKindName(JobKind kind);

struct JobRequest {
  JobKind kind = JobKind::kProgram;
  // Program and verify: the bytes for the flash from address 0.
  std::shared_ptr<const std::vector<std::uint8_t>> image;
  // Program: the record for EEPROM address 16, if any. EEPROM write: the record.
  std::optional<Record> record;
  // Program: read back and compare (also the record). Without it the result is "written, not
  // verified", never "verified".
  bool verify = true;
  // Read: this many bytes from address 0; the whole flash when empty.
  std::optional<std::uint32_t> length;
};

struct StepTime {
  Step step = Step::kStart;
  double ms = 0;
};

struct JobResult {
  Failure failure = Failure::kNone;
  Step step = Step::kStart;  // where the job ended (kDone when it succeeded)
  std::optional<std::uint32_t> address;
  // For people: "verified", "written, not verified", "erased", "read", "written", or what went
  // wrong, naming the address ("refused write at address 0x002000: refused (sense 0x052400)").
  std::string text;
  bool verified = false;  // only on an equal read-back
  // The flash was changed (the first erase was sent): a job that failed or was cancelled after
  // that has left the unit half written.
  bool flash_touched = false;
  std::vector<StepTime> times;           // each step that ran, in order
  std::uint32_t bytes = 0;               // written, compared or read
  std::vector<std::uint8_t> data;        // read: the flash's bytes
  std::optional<Record> product_record;  // EEPROM jobs: both records as read at the end
  std::optional<Record> record;

  bool ok() const { return failure == Failure::kNone; }
  // Failed or cancelled after the flash was touched.
  bool half_written() const { return !ok() && flash_touched; }
};

// Progress of the current step, 0..100; called on the job's thread each time it changes.
using ProgressFn = std::function<void(Step step, int percent)>;

// Runs the job on the calling thread. The unit is claimed for the job (kBusy when it has one);
// `cancel`, when given, is checked between commands.
JobResult RunJob(Unit& unit, const JobRequest& request, const ProgressFn& progress = {},
                 const std::atomic<bool>* cancel = nullptr);

}  // namespace velkin::programming
