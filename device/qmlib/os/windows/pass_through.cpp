#include "pass_through.h"

#include <algorithm>
#include <cstring>

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

bool PassThroughTransport::Open(const std::string& path) {
  handle_.Reset();
  HANDLE handle = Api().CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
  handle_ = UniqueHandle(handle);
  return handle_.valid();
}

CommandOutcome PassThroughTransport::Carry(const CommandBlock& command) {
  if (!handle_.valid()) {
    CommandOutcome outcome;
    outcome.kind = OutcomeKind::kOsError;
    outcome.os_error = ERROR_INVALID_HANDLE;
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
  record.header.DataBuffer = command.data;  // the driver moves the data in place

  DWORD returned = 0;
  if (!Api().DeviceIoControl(handle_.get(), IOCTL_SCSI_PASS_THROUGH_DIRECT, &record, sizeof record, &record,
                             sizeof record, &returned, nullptr)) {
    return OsError();
  }
  if (record.header.ScsiStatus != 0) return CheckCondition(record.header.ScsiStatus, record.sense, sizeof record.sense);

  CommandOutcome outcome;
  outcome.transferred = Delivered(record.header.DataTransferLength, command);
  return outcome;
}

}  // namespace velkin::qm::os::win
