#include "job.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>

#include "device/qmlib/qm_codes.h"
#include "device/qmlib/vendor_command_set.h"

namespace velkin::programming {
namespace {

using Clock = std::chrono::steady_clock;

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%06X", static_cast<unsigned>(value));
  return text;
}

// One job's bookkeeping: the step and its time, progress, cancel checks and the result.
class Runner {
 public:
  Runner(Unit& unit, const ProgressFn& progress, const std::atomic<bool>* cancel)
      : unit_(unit), progress_(progress), cancel_(cancel) {}

  JobResult& result() { return result_; }

  void Begin(Step step) {
    EndStep();
    result_.step = step;
    step_start_ = Clock::now();
    step_open_ = true;
    percent_ = -1;
    Progress(0, 1);
  }

  void Progress(std::uint64_t done, std::uint64_t total) {
    const int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
    if (percent == percent_) return;
    percent_ = percent;
    if (progress_) progress_(result_.step, percent);
  }

  // True (and the result says so) when the caller asked to stop; checked before each command.
  bool Cancelled(std::uint32_t address) {
    if (cancel_ == nullptr || !cancel_->load()) return false;
    std::string text = "cancelled";
    if (result_.step == Step::kStart) {
      text += " before the unit was touched";
    } else {
      text += std::string(" during ") + StepName(result_.step) + " at address " + Hex(address);
      if (result_.flash_touched) text += ": the unit is left half written";
    }
    Fail(Failure::kCancelled, text, result_.step == Step::kStart ? std::nullopt : std::optional(address));
    return true;
  }

  bool Fail(Failure failure, std::string text, std::optional<std::uint32_t> address = std::nullopt) {
    EndStep();
    result_.failure = failure;
    result_.text = std::move(text);
    result_.address = address;
    return false;
  }

  // A failed command: the unit pulled, refused, or silent; `what` says which command, at which
  // address ("erase failed at address 0x010000").
  bool FailCommand(const std::string& what, std::int32_t code, std::uint32_t address) {
    const CommandCause cause = unit_.Explain(code);
    return Fail(FailureOf(cause.fault), what + ": " + cause.text, address);
  }

  void Succeed(std::string text) {
    EndStep();
    result_.step = Step::kDone;
    result_.text = std::move(text);
  }

  static Failure FailureOf(CommandFault fault) {
    switch (fault) {
      case CommandFault::kPulled:
        return Failure::kUnitPulled;
      case CommandFault::kRefused:
        return Failure::kRefused;
      case CommandFault::kNoAnswer:
        break;
    }
    return Failure::kNoAnswer;
  }

 private:
  void EndStep() {
    if (!step_open_) return;
    step_open_ = false;
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - step_start_).count();
    result_.times.push_back({result_.step, ms});
  }

  Unit& unit_;
  const ProgressFn& progress_;
  const std::atomic<bool>* cancel_;
  JobResult result_;
  Clock::time_point step_start_{};
  int percent_ = -1;
  bool step_open_ = false;
};

// The jobs, each a few steps on a Runner.
class Jobs {
 public:
  Jobs(Unit& unit, Runner& run) : unit_(unit), run_(run) {}

  // The flash's size from the identity, read again when it was not known; false (with the
  // result) when it cannot be had. A flash of unknown size is not guessed at: the erase would
  // cover a guessed size, and an image too large for the chip could not be told from one that fits.
  bool FlashSize(std::uint32_t* size) {
    *size = unit_.Identity().flash_size;
    if (*size == 0) *size = unit_.RefreshIdentity().flash_size;
    if (*size != 0) return true;
    if (unit_.Explain(qm::kQmUnusable).fault == CommandFault::kPulled)
      return run_.Fail(Failure::kUnitPulled, "unit pulled");
    return run_.Fail(Failure::kUnknownFlash, "the flash identity cannot be read, so its size is unknown");
  }

  bool FitsFlash(std::size_t bytes, std::uint32_t flash_size, const char* what) {
    if (bytes <= flash_size) return true;
    return run_.Fail(Failure::kTooLarge, std::string(what) + " (" + std::to_string(bytes) +
                                             " bytes) does not fit the flash (" + std::to_string(flash_size) +
                                             " bytes)");
  }

  // The whole flash, sector by sector, as the console's download erases it.
  bool Erase(std::uint32_t flash_size) {
    run_.Begin(Step::kErase);
    const std::uint32_t sectors = flash_size / qm::kFlashSectorSize;
    for (std::uint32_t i = 0; i < sectors; ++i) {
      const std::uint32_t address = i * qm::kFlashSectorSize;
      if (run_.Cancelled(address)) return false;
      run_.result().flash_touched = true;
      const std::int32_t code =
          unit_.Talk([&](qm::VendorCommands& c) { return c.EraseMemory(address, qm::kSectorEraseCode); });
      if (code != qm::kQmOk) return run_.FailCommand("erase failed at address " + Hex(address), code, address);
      run_.Progress(i + 1, sectors);
    }
    return true;
  }

  bool Write(const std::vector<std::uint8_t>& image) {
    run_.Begin(Step::kWrite);
    const auto size = static_cast<std::uint32_t>(image.size());
    for (std::uint32_t address = 0; address < size; address += qm::kFlashWriteBlockSize) {
      if (run_.Cancelled(address)) return false;
      const std::uint32_t length = std::min(qm::kFlashWriteBlockSize, size - address);
      const std::int32_t code =
          unit_.Talk([&](qm::VendorCommands& c) { return c.WriteMemory(address, image.data() + address, length); });
      if (code != qm::kQmOk) {
        const CommandCause cause = unit_.Explain(code);
        if (cause.fault == CommandFault::kPulled) {
          return run_.Fail(Failure::kUnitPulled, "write failed at address " + Hex(address) + ": unit pulled", address);
        }
        return run_.Fail(Runner::FailureOf(cause.fault), "refused write at address " + Hex(address) + ": " + cause.text,
                         address);
      }
      run_.Progress(address + length, size);
    }
    run_.result().bytes = size;
    return true;
  }

  bool WriteRecord(const Record& record) {
    run_.Begin(Step::kEeprom);
    if (run_.Cancelled(qm::kEepromRecordAddress)) return false;
    if (unit_.TalkOk([&](qm::VendorCommands& c) { return c.WriteEeprom16(qm::kEepromRecordAddress, record.data()); })) {
      run_.Progress(1, 1);
      return true;
    }
    if (unit_.Explain(qm::kQmUnusable).fault == CommandFault::kPulled) {
      return run_.Fail(Failure::kUnitPulled, "EEPROM record: unit pulled", qm::kEepromRecordAddress);
    }
    return run_.Fail(Failure::kEepromFailed, "EEPROM record: EEPROM busy or write refused", qm::kEepromRecordAddress);
  }

  // Reads `size` bytes from address 0 in blocks; each block goes to `block` (false: stop).
  template <class Block>
  bool ReadFlash(std::uint32_t size, Block block) {
    std::vector<std::uint8_t> buffer(qm::kFlashWriteBlockSize);
    for (std::uint32_t address = 0; address < size; address += qm::kFlashWriteBlockSize) {
      if (run_.Cancelled(address)) return false;
      const std::uint32_t length = std::min(qm::kFlashWriteBlockSize, size - address);
      const std::int32_t code =
          unit_.Talk([&](qm::VendorCommands& c) { return c.ReadMemory(address, buffer.data(), length); });
      if (code != qm::kQmOk) {
        const char* what =
            run_.result().step == Step::kVerify ? "read-back failed at address " : "read failed at address ";
        return run_.FailCommand(what + Hex(address), code, address);
      }
      if (!block(address, buffer.data(), length)) return false;
      run_.Progress(address + length, size);
    }
    return true;
  }

  // Only what is read back counts: the unit's own word that a write went through is not enough.
  bool Compare(const std::vector<std::uint8_t>& image) {
    run_.Begin(Step::kVerify);
    const auto size = static_cast<std::uint32_t>(image.size());
    const bool same = ReadFlash(size, [&](std::uint32_t address, const std::uint8_t* bytes, std::uint32_t length) {
      for (std::uint32_t i = 0; i < length; ++i) {
        if (bytes[i] != image[address + i]) {
          return run_.Fail(Failure::kMismatch, "read-back mismatch at offset " + Hex(address + i), address + i);
        }
      }
      return true;
    });
    if (same) run_.result().bytes = size;
    return same;
  }

  bool CompareRecord(const Record& record) {
    if (run_.Cancelled(qm::kEepromRecordAddress)) return false;
    Record back{};
    if (!unit_.TalkOk([&](qm::VendorCommands& c) { return c.ReadEeprom16(qm::kEepromRecordAddress, back.data()); })) {
      const CommandCause cause = unit_.Explain(qm::kQmUnusable);
      return run_.Fail(cause.fault == CommandFault::kPulled ? Failure::kUnitPulled : Failure::kEepromFailed,
                       "EEPROM read-back failed: " + cause.text, qm::kEepromRecordAddress);
    }
    if (back != record) return run_.Fail(Failure::kMismatch, "EEPROM read-back mismatch", qm::kEepromRecordAddress);
    return true;
  }

  bool ReadRecords() {
    const auto read = [&](std::uint8_t address, std::optional<Record>* into) {
      if (run_.Cancelled(address)) return false;
      Record record{};
      if (unit_.TalkOk([&](qm::VendorCommands& c) { return c.ReadEeprom16(address, record.data()); })) {
        *into = record;
        return true;
      }
      const CommandCause cause = unit_.Explain(qm::kQmUnusable);
      return run_.Fail(cause.fault == CommandFault::kPulled ? Failure::kUnitPulled : Failure::kEepromFailed,
                       "EEPROM read failed at address " + std::to_string(address) + ": " +
                           (cause.fault == CommandFault::kPulled ? cause.text : "EEPROM busy or read refused"),
                       address);
    };
    return read(qm::kEepromProductAddress, &run_.result().product_record) &&
           read(qm::kEepromRecordAddress, &run_.result().record);
  }

  void Program(const JobRequest& request) {
    const auto& image = *request.image;
    std::uint32_t flash_size = 0;
    if (!FlashSize(&flash_size) || !FitsFlash(image.size(), flash_size, "the image")) return;
    if (run_.Cancelled(0) || !Erase(flash_size) || !Write(image)) return;
    if (request.record && !WriteRecord(*request.record)) return;
    if (!request.verify) return run_.Succeed("written, not verified");
    if (!Compare(image)) return;
    if (request.record && !CompareRecord(*request.record)) return;
    run_.result().verified = true;
    run_.Succeed("verified");
  }

  void Verify(const JobRequest& request) {
    std::uint32_t flash_size = 0;
    if (!FlashSize(&flash_size) || !FitsFlash(request.image->size(), flash_size, "the image")) return;
    if (run_.Cancelled(0) || !Compare(*request.image)) return;
    run_.result().verified = true;
    run_.Succeed("verified");
  }

  void Read(const JobRequest& request) {
    std::uint32_t flash_size = 0;
    if (!FlashSize(&flash_size)) return;
    const std::uint32_t size = request.length.value_or(flash_size);
    if (!FitsFlash(size, flash_size, "the length asked for")) return;
    if (run_.Cancelled(0)) return;
    run_.Begin(Step::kRead);
    auto& data = run_.result().data;
    data.reserve(size);
    const bool read = ReadFlash(size, [&](std::uint32_t, const std::uint8_t* bytes, std::uint32_t length) {
      data.insert(data.end(), bytes, bytes + length);
      return true;
    });
    if (!read) return data.clear();
    run_.result().bytes = size;
    run_.Succeed("read");
  }

  void EraseOnly() {
    std::uint32_t flash_size = 0;
    if (!FlashSize(&flash_size) || run_.Cancelled(0) || !Erase(flash_size)) return;
    run_.Succeed("erased");
  }

  void EepromRead() {
    run_.Begin(Step::kEeprom);
    if (ReadRecords()) run_.Succeed("read");
  }

  void EepromWrite(const JobRequest& request) {
    if (run_.Cancelled(0) || !WriteRecord(*request.record)) return;
    if (!ReadRecords()) return;
    if (run_.result().record != request.record) {
      run_.Fail(Failure::kMismatch, "EEPROM read-back mismatch", qm::kEepromRecordAddress);
      return;
    }
    run_.result().verified = true;
    run_.Succeed("written");
  }

 private:
  Unit& unit_;
  Runner& run_;
};

}  // namespace

const char* StepName(Step step) {
  switch (step) {
    case Step::kStart:
      return "start";
    case Step::kErase:
      return "erase";
    case Step::kWrite:
      return "write";
    case Step::kEeprom:
      return "eeprom";
    case Step::kVerify:
      return "verify";
    case Step::kRead:
      return "read";
    case Step::kDone:
      return "done";
  }
  return "?";
}

const char* FailureName(Failure failure) {
  switch (failure) {
    case Failure::kNone:
      return "none";
    case Failure::kUnitPulled:
      return "unit pulled";
    case Failure::kRefused:
      return "refused";
    case Failure::kNoAnswer:
      return "no answer";
    case Failure::kMismatch:
      return "read-back mismatch";
    case Failure::kTooLarge:
      return "too large";
    case Failure::kCancelled:
      return "cancelled";
    case Failure::kBusy:
      return "busy";
    case Failure::kCannotStart:
      return "cannot start";
    case Failure::kFileError:
      return "file error";
    case Failure::kNotFound:
      return "not found";
    case Failure::kUnknownFlash:
      return "unknown flash";
    case Failure::kEepromFailed:
      return "eeprom failed";
  }
  return "?";
}

const char* JobKindName(JobKind kind) {
  switch (kind) {
    case JobKind::kProgram:
      return "program";
    case JobKind::kVerify:
      return "verify";
    case JobKind::kRead:
      return "read";
    case JobKind::kErase:
      return "erase";
    case JobKind::kEepromRead:
      return "eeprom read";
    case JobKind::kEepromWrite:
      return "eeprom write";
  }
  return "?";
}

JobResult RunJob(Unit& unit, const JobRequest& request, const ProgressFn& progress, const std::atomic<bool>* cancel) {
  JobResult refused;
  const bool needs_image = request.kind == JobKind::kProgram || request.kind == JobKind::kVerify;
  if (needs_image && (!request.image || request.image->empty())) {
    refused.failure = Failure::kFileError;
    refused.text = "the image is empty";
    return refused;
  }
  if (request.kind == JobKind::kEepromWrite && !request.record) {
    refused.failure = Failure::kCannotStart;
    refused.text = "no record to write";
    return refused;
  }
  if (!unit.TryClaim()) {
    refused.failure = Failure::kBusy;
    refused.text = "the unit has a job running";
    return refused;
  }
  struct Release {
    Unit& unit;
    ~Release() { unit.Release(); }
  } release{unit};

  Runner run(unit, progress, cancel);
  try {
    Jobs jobs(unit, run);
    switch (request.kind) {
      case JobKind::kProgram:
        jobs.Program(request);
        break;
      case JobKind::kVerify:
        jobs.Verify(request);
        break;
      case JobKind::kRead:
        jobs.Read(request);
        break;
      case JobKind::kErase:
        jobs.EraseOnly();
        break;
      case JobKind::kEepromRead:
        jobs.EepromRead();
        break;
      case JobKind::kEepromWrite:
        jobs.EepromWrite(request);
        break;
    }
  } catch (const std::exception& e) {
    // Out of memory for a read-out, or a progress callback that threw: the job ends here.
    run.Fail(Failure::kCannotStart, std::string("the job stopped: ") + e.what(), run.result().address);
  }
  return std::move(run.result());
}

}  // namespace velkin::programming
