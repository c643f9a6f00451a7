#include "mass_storage_device.h"

namespace velkin::qm {
namespace {

// A failed pass-through call is tried again at once, up to this many attempts in all.
constexpr int kPassThroughAttempts = 3;

}  // namespace

void C_QMExchangeLock::lock() {
  mutex_.lock();
  owner_ = std::this_thread::get_id();
  refusal_ = unit_.LockUnit();
  unit_held_ = refusal_ == 0;
}

void C_QMExchangeLock::unlock() {
  if (unit_held_) unit_.UnlockUnit();
  unit_held_ = false;
  refusal_ = 0;
  owner_ = std::thread::id();
  mutex_.unlock();
}

std::uint32_t PackSense(const std::uint8_t* sense, std::size_t length) {
  const auto at = [&](std::size_t i) -> std::uint32_t { return i < length ? sense[i] : 0; };
  return (at(2) & 0x0F) << 16 | at(12) << 8 | at(13);
}

C_QMMassStorageDevice::C_QMMassStorageDevice(const C_QMUsbDeviceInfo& info, std::unique_ptr<os::Transport> transport)
    : info_(info), transport_(std::move(transport)), path_(info.InterfacePath()) {}

C_QMMassStorageDevice::~C_QMMassStorageDevice() {
  Close();
}

std::int32_t C_QMMassStorageDevice::QueryInterface(std::uint32_t kind, void** out) {
  if (out == nullptr) return kQmInterfaceFailed;
  *out = nullptr;
  switch (kind) {
    case kInterfaceDevice:
    case kInterfaceMassStorage:
      *out = static_cast<I_QMMassStorageDevice*>(this);
      break;
    case kInterfaceInternal:
      *out = static_cast<I_QMUsbDeviceInternal*>(this);
      break;
    case kInterfaceHidEx:
      *out = dynamic_cast<I_QMHidDeviceEx*>(static_cast<I_QMMassStorageDevice*>(this));
      break;
    case kInterfaceStdDiskRW:
      *out = dynamic_cast<I_QMStdDiskRWDevice*>(static_cast<I_QMMassStorageDevice*>(this));
      break;
    default:
      break;
  }
  return *out != nullptr ? kQmOk : kQmInterfaceFailed;
}

std::int32_t C_QMMassStorageDevice::Open() {
  std::lock_guard guard(transport_lock_);
  transport_->Close();
  return transport_->Open(path_) ? kQmOk : kQmOpenFailed;
}

os::OpenFailure C_QMMassStorageDevice::LastOpenFailure() const {
  std::lock_guard guard(transport_lock_);
  return transport_->LastOpenFailure();
}

void C_QMMassStorageDevice::UsePath(const std::string& path) {
  std::lock_guard guard(transport_lock_);
  if (!transport_->IsOpen()) path_ = path;
}

std::int32_t C_QMMassStorageDevice::Close() {
  std::lock_guard guard(transport_lock_);
  transport_->Close();
  return kQmOk;
}

bool C_QMMassStorageDevice::IsOpen() const {
  std::lock_guard guard(transport_lock_);
  return transport_->IsOpen();
}

std::int32_t C_QMMassStorageDevice::ReadWithLength(const std::uint8_t* cdb, std::uint8_t cdb_length,
                                                   std::uint8_t* buffer, std::uint32_t length,
                                                   std::uint32_t timeout_seconds) {
  return Read(cdb, cdb_length, buffer, &length, timeout_seconds);
}

std::int32_t C_QMMassStorageDevice::Write(const std::uint8_t* cdb, std::uint8_t cdb_length, const std::uint8_t* buffer,
                                          std::uint32_t length, std::uint32_t timeout_seconds) {
  // The transport only reads a data-out buffer.
  return Carry(cdb, cdb_length, os::DataDirection::kOut, const_cast<std::uint8_t*>(buffer), &length, timeout_seconds);
}

std::int32_t C_QMMassStorageDevice::Read(const std::uint8_t* cdb, std::uint8_t cdb_length, std::uint8_t* buffer,
                                         std::uint32_t* length, std::uint32_t timeout_seconds) {
  return Carry(cdb, cdb_length, os::DataDirection::kIn, buffer, length, timeout_seconds);
}

std::int32_t C_QMMassStorageDevice::Carry(const std::uint8_t* cdb, std::uint8_t cdb_length, os::DataDirection direction,
                                          std::uint8_t* buffer, std::uint32_t* length, std::uint32_t timeout_seconds) {
  std::lock_guard guard(transport_lock_);
  if (!transport_->IsOpen()) return kQmNotOpen;
  os::CommandBlock command;
  command.cdb = cdb;
  command.cdb_length = cdb_length;
  command.direction = direction;
  command.data = buffer;
  command.length = buffer != nullptr ? *length : 0;
  command.timeout_seconds = timeout_seconds;

  // Inside an exchange the unit is already held (or was refused); a lone command holds it for
  // itself.
  if (exchange_lock_.HeldByThisThread()) {
    if (const std::uint32_t refusal = exchange_lock_.Refusal(); refusal != 0) {
      last_os_error_ = refusal;
      return kQmPassThroughFailed;
    }
    return FinishCarry(command, direction, length);
  }
  if (const std::uint32_t refusal = transport_->LockUnit(kUnitLockWait); refusal != 0) {
    last_os_error_ = refusal;
    return kQmPassThroughFailed;
  }
  const std::int32_t result = FinishCarry(command, direction, length);
  transport_->UnlockUnit();
  return result;
}

std::uint32_t C_QMMassStorageDevice::LockUnit() {
  std::lock_guard guard(transport_lock_);
  // A closed unit holds nothing; its commands fail as not open.
  return transport_->IsOpen() ? transport_->LockUnit(kUnitLockWait) : 0;
}

void C_QMMassStorageDevice::UnlockUnit() {
  std::lock_guard guard(transport_lock_);
  if (transport_->IsOpen()) transport_->UnlockUnit();
}

std::int32_t C_QMMassStorageDevice::FinishCarry(const os::CommandBlock& command, os::DataDirection direction,
                                                std::uint32_t* length) {
  os::CommandOutcome outcome;
  for (int attempt = 0; attempt < kPassThroughAttempts; ++attempt) {
    outcome = transport_->Carry(command);
    if (outcome.kind != os::OutcomeKind::kOsError) break;
  }
  switch (outcome.kind) {
    case os::OutcomeKind::kSuccess:
      if (direction == os::DataDirection::kIn) *length = outcome.transferred;
      return kQmOk;
    case os::OutcomeKind::kCheckCondition:
      // Not retried: the unit has answered.
      last_sense_ = PackSense(outcome.sense.data(), outcome.sense_length);
      return kQmCheckCondition;
    case os::OutcomeKind::kOsError:
    case os::OutcomeKind::kDeviceGone:
      // A unit that is gone fails every attempt alike, so it is not tried again.
      last_os_error_ = outcome.os_error;
      return kQmPassThroughFailed;
  }
  return kQmPassThroughFailed;
}

}  // namespace velkin::qm
