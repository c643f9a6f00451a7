#include "pass_through.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace velkin::qm::os::win {
namespace {

// The direct record addresses the unit by path, target and logical unit 0xFF, which the port
// driver of a USB mass-storage unit ignores in favour of the handle.
constexpr UCHAR kDirectAddress = 0xFF;

template <class Header>
void FillHeader(Header& header, const CommandBlock& command, ULONG sense_offset) {
  header.Length = sizeof(Header);
  header.CdbLength = std::min<UCHAR>(command.cdb_length, sizeof header.Cdb);
  header.SenseInfoLength = kSenseInfoLength;
  header.DataIn = command.direction == DataDirection::kIn ? SCSI_IOCTL_DATA_IN : SCSI_IOCTL_DATA_OUT;
  header.DataTransferLength = command.length;
  header.TimeOutValue = command.timeout_seconds;
  header.SenseInfoOffset = sense_offset;
  if (command.cdb != nullptr) std::memcpy(header.Cdb, command.cdb, header.CdbLength);
}

CommandOutcome OsError() {
  CommandOutcome outcome;
  outcome.kind = OutcomeKind::kOsError;
  outcome.os_error = Api().GetLastError();
  return outcome;
}

CommandOutcome CheckCondition(UCHAR status, const UCHAR* sense, std::size_t available) {
  CommandOutcome outcome;
  outcome.kind = OutcomeKind::kCheckCondition;
  outcome.scsi_status = status;
  const std::size_t n = std::min(available, outcome.sense.size());
  std::memcpy(outcome.sense.data(), sense, n);
  outcome.sense_length = static_cast<std::uint8_t>(n);
  return outcome;
}

// A driver that reports more data than was asked for cannot have put it into the caller's
// buffer; only the asked-for length is ever copied or reported.
std::uint32_t Delivered(ULONG reported, const CommandBlock& command) {
  return std::min<std::uint32_t>(reported, command.length);
}

}  // namespace

// The system's text for an error number, without the line end and final full stop.
std::string ErrorText(DWORD error) {
  char text[256] = {};
  const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                                   sizeof text, nullptr);
  std::string message(text, n);
  while (!message.empty() &&
         (message.back() == '\n' || message.back() == '\r' || message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return message.empty() ? "error " + std::to_string(error) : message;
}

std::string UnitMutexName(const std::string& path) {
  std::string name = "Global\\VelkinUnit-";
  for (const char c : path) {
    name += c == '\\' ? '/' : (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return name.substr(0, MAX_PATH - 1);
}

bool PassThroughTransport::Open(const std::string& path) {
  Close();
  failure_ = {};
  HANDLE handle = Api().CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
  handle_ = UniqueHandle(handle);
  if (!handle_.valid()) {
    // Kept for the user: a unit that matches but cannot be opened (no access, or held by another
    // program) must not look like no unit at all.
    const DWORD error = Api().GetLastError();
    failure_ = {error, ErrorText(error)};
    return false;
  }
  QueryAdapter();
  unit_mutex_ = UniqueHandle(Api().CreateMutexA(nullptr, FALSE, UnitMutexName(path).c_str()));
  return true;
}

void PassThroughTransport::Close() {
  unit_mutex_.Reset();
  handle_.Reset();
}

void PassThroughTransport::QueryAdapter() {
  alignment_mask_ = 0;
  max_transfer_ = 0;
  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = StorageAdapterProperty;
  query.QueryType = PropertyStandardQuery;
  STORAGE_ADAPTER_DESCRIPTOR adapter{};
  DWORD returned = 0;
  // An adapter that does not answer gets the old behaviour: no alignment, no limit.
  if (!Api().DeviceIoControl(handle_.get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &adapter,
                             sizeof adapter, &returned, nullptr) ||
      returned < offsetof(STORAGE_ADAPTER_DESCRIPTOR, AlignmentMask) + sizeof adapter.AlignmentMask) {
    return;
  }
  max_transfer_ = adapter.MaximumTransferLength;
  // A mask is one less than a power of two; anything else is not to be trusted.
  if ((adapter.AlignmentMask & (adapter.AlignmentMask + 1)) == 0 && adapter.AlignmentMask < 0x10000) {
    alignment_mask_ = adapter.AlignmentMask;
  }
}

std::uint32_t PassThroughTransport::LockUnit(std::chrono::milliseconds wait) {
  if (!unit_mutex_.valid()) return 0;  // no mutex to be had: carry on unguarded
  const auto ms = static_cast<DWORD>(std::min<long long>(wait.count(), INFINITE - 1));
  const DWORD result = Api().WaitForSingleObject(unit_mutex_.get(), ms);
  // WAIT_ABANDONED: the last holder ended without giving it back; the unit is ours now.
  if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) return 0;
  return result == WAIT_TIMEOUT ? ERROR_BUSY : 0;
}

void PassThroughTransport::UnlockUnit() {
  if (unit_mutex_.valid()) Api().ReleaseMutex(unit_mutex_.get());
}

CommandOutcome PassThroughTransport::Carry(const CommandBlock& command) {
  if (!handle_.valid()) {
    CommandOutcome outcome;
    outcome.kind = OutcomeKind::kOsError;
    outcome.os_error = ERROR_INVALID_HANDLE;
    return outcome;
  }
  if (max_transfer_ != 0 && command.length > max_transfer_) {
    // More than the adapter carries in one request: the driver would refuse it or split it in a
    // way the unit's commands do not allow. No call is made.
    CommandOutcome outcome;
    outcome.kind = OutcomeKind::kOsError;
    outcome.os_error = ERROR_BAD_LENGTH;
    return outcome;
  }
  return command.length <= kBufferedDataSize ? CarryBuffered(command) : CarryDirect(command);
}

CommandOutcome PassThroughTransport::CarryBuffered(const CommandBlock& command) {
  // On the caller's stack, so that calls on different units never share a record.
  BufferedPassThroughRecord record;
  std::memset(&record, 0, sizeof record);
  FillHeader(record.header, command, offsetof(BufferedPassThroughRecord, sense));
  record.header.DataBufferOffset = offsetof(BufferedPassThroughRecord, data);

  const DWORD with_data = static_cast<DWORD>(offsetof(BufferedPassThroughRecord, data) + command.length);
  DWORD in_size = with_data;
  if (command.direction == DataDirection::kIn) {
    in_size = sizeof(SCSI_PASS_THROUGH);
  } else if (command.length > 0 && command.data != nullptr) {
    std::memcpy(record.data, command.data, command.length);
  }
  DWORD returned = 0;
  if (!Api().DeviceIoControl(handle_.get(), IOCTL_SCSI_PASS_THROUGH, &record, in_size, &record, with_data, &returned,
                             nullptr)) {
    return OsError();
  }
  if (record.header.ScsiStatus != 0) return CheckCondition(record.header.ScsiStatus, record.sense, sizeof record.sense);

  CommandOutcome outcome;
  outcome.transferred = Delivered(record.header.DataTransferLength, command);
  if (command.direction == DataDirection::kIn && command.data != nullptr) {
    std::memcpy(command.data, record.data, outcome.transferred);
  }
  return outcome;
}

CommandOutcome PassThroughTransport::CarryDirect(const CommandBlock& command) {
  DirectPassThroughRecord record;
  std::memset(&record, 0, sizeof record);
  FillHeader(record.header, command, offsetof(DirectPassThroughRecord, sense));
  record.header.PathId = kDirectAddress;
  record.header.TargetId = kDirectAddress;
  record.header.Lun = kDirectAddress;
  // The driver moves the data in place, at an address the adapter can reach: the caller's buffer
  // when it meets the alignment, else an aligned one of ours.
  std::uint8_t* data = command.data;
  const bool copied = command.length > 0 && (reinterpret_cast<std::uintptr_t>(data) & alignment_mask_) != 0;
  if (copied) {
    aligned_.resize(command.length + alignment_mask_);
    const auto at = reinterpret_cast<std::uintptr_t>(aligned_.data());
    data = aligned_.data() + (((at + alignment_mask_) & ~static_cast<std::uintptr_t>(alignment_mask_)) - at);
    if (command.direction == DataDirection::kOut) std::memcpy(data, command.data, command.length);
  }
  record.header.DataBuffer = data;

  DWORD returned = 0;
  if (!Api().DeviceIoControl(handle_.get(), IOCTL_SCSI_PASS_THROUGH_DIRECT, &record, sizeof record, &record,
                             sizeof record, &returned, nullptr)) {
    return OsError();
  }
  if (record.header.ScsiStatus != 0) return CheckCondition(record.header.ScsiStatus, record.sense, sizeof record.sense);

  CommandOutcome outcome;
  outcome.transferred = Delivered(record.header.DataTransferLength, command);
  if (copied && command.direction == DataDirection::kIn) std::memcpy(command.data, data, outcome.transferred);
  return outcome;
}

}  // namespace velkin::qm::os::win
