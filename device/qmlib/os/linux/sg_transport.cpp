#include "sg_transport.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <system_error>
#include <thread>

namespace velkin::qm::os::linux_os {
namespace {

// Host byte of sg_io_hdr (the SCSI midlayer's DID_ codes; not in the user-space headers).
constexpr std::uint16_t kHostNoConnect = 0x01;  // the unit is not there (any more)
constexpr std::uint16_t kHostTimeOut = 0x03;
constexpr std::uint16_t kHostBadTarget = 0x04;  // the target has gone away
// Driver byte: only its low four bits carry the code; DRIVER_SENSE merely says that sense data
// came with the status, DRIVER_TIMEOUT that the command timed out.
constexpr std::uint16_t kDriverCodeMask = 0x0F;
constexpr std::uint16_t kDriverSense = 0x08;
constexpr std::uint16_t kDriverTimeout = 0x06;

constexpr std::size_t kMaxCdbLength = 16;

CommandOutcome Failure(OutcomeKind kind, int error) {
  CommandOutcome outcome;
  outcome.kind = kind;
  outcome.os_error = static_cast<std::uint32_t>(error);
  return outcome;
}

}  // namespace

std::size_t ToFixedSense(const std::uint8_t* sense, std::size_t length, std::array<std::uint8_t, 32>& out) {
  out.fill(0);
  length = std::min(length, out.size());
  if (sense == nullptr || length == 0) return 0;
  const std::uint8_t response_code = sense[0] & 0x7F;
  if (response_code == 0x72 || response_code == 0x73) {
    // Descriptor format: key, ASC and ASCQ sit in bytes 1 to 3; the descriptors that follow
    // carry nothing the device object keeps.
    const auto at = [&](std::size_t i) -> std::uint8_t { return i < length ? sense[i] : 0; };
    out[0] = static_cast<std::uint8_t>(0x70 | (response_code & 0x01));  // current or deferred
    out[2] = at(1) & 0x0F;
    out[7] = 10;  // additional sense length of the 18-byte fixed form
    out[12] = at(2);
    out[13] = at(3);
    return 18;
  }
  std::copy_n(sense, length, out.begin());
  return length;
}

bool SgTransport::Open(const std::string& path) {
  Close();
  // O_NONBLOCK: when another program holds the node exclusively the open fails with EBUSY
  // instead of waiting; SG_IO itself always waits for the command, whatever the flag.
  fd_.Reset(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
  failure_ = {};
  if (!fd_.valid()) {
    // Kept for the user: a unit that matches but cannot be opened (no access to its node, or
    // another program holds it) must not look like no unit at all.
    const int error = errno;
    failure_ = {static_cast<std::uint32_t>(error), std::system_category().message(error)};
  }
  return fd_.valid();
}

std::uint32_t SgTransport::LockUnit(std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    if (::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0) return 0;
    if (errno != EWOULDBLOCK && errno != EINTR) return 0;  // cannot lock here: carry on unguarded
    if (std::chrono::steady_clock::now() >= deadline) return EBUSY;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
}

void SgTransport::UnlockUnit() {
  ::flock(fd_.get(), LOCK_UN);
}

CommandOutcome SgTransport::Carry(const CommandBlock& command) {
  if (!fd_.valid()) return Failure(OutcomeKind::kDeviceGone, EBADF);
  if (command.cdb == nullptr || command.cdb_length == 0 || command.cdb_length > kMaxCdbLength ||
      (command.length > 0 && command.data == nullptr)) {
    return Failure(OutcomeKind::kOsError, EINVAL);
  }
  const bool data_in = command.length > 0 && command.direction == DataDirection::kIn;
  if (data_in && bounce_.size() < command.length) bounce_.resize(command.length);

  std::uint8_t cdb[kMaxCdbLength] = {};
  std::copy_n(command.cdb, command.cdb_length, cdb);
  std::uint8_t sense[32] = {};

  sg_io_hdr_t header;
  std::memset(&header, 0, sizeof header);
  header.interface_id = 'S';
  header.dxfer_direction = command.length == 0 ? SG_DXFER_NONE : data_in ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
  header.cmd_len = command.cdb_length;
  header.mx_sb_len = sizeof sense;
  header.dxfer_len = command.length;
  header.dxferp = command.length == 0 ? nullptr : data_in ? bounce_.data() : command.data;
  header.cmdp = cdb;
  header.sbp = sense;
  // The kernel takes milliseconds.
  constexpr std::uint32_t kMaxSeconds = std::numeric_limits<unsigned int>::max() / 1000;
  header.timeout = std::min(command.timeout_seconds, kMaxSeconds) * 1000;

  if (::ioctl(fd_.get(), SG_IO, &header) < 0) {
    const int error = errno;
    // ENODEV/ENXIO: the unit has been pulled out; trying again cannot help. Anything else is a
    // failed pass-through call, which the device object tries again.
    if (error == ENODEV || error == ENXIO) return Failure(OutcomeKind::kDeviceGone, error);
    return Failure(OutcomeKind::kOsError, error);
  }

  // The host adapter could not deliver the command: the unit is gone, or the transfer failed.
  // Either way the unit has not answered, so this is a failed pass-through call, not a status.
  if (header.host_status != 0) {
    if (header.host_status == kHostNoConnect || header.host_status == kHostBadTarget) {
      return Failure(OutcomeKind::kDeviceGone, ENODEV);
    }
    return Failure(OutcomeKind::kOsError, header.host_status == kHostTimeOut ? ETIMEDOUT : EIO);
  }
  const std::uint16_t driver_code = header.driver_status & kDriverCodeMask;
  if (driver_code != 0 && driver_code != kDriverSense) {
    return Failure(OutcomeKind::kOsError, driver_code == kDriverTimeout ? ETIMEDOUT : EIO);
  }

  CommandOutcome outcome;
  if (header.status != 0) {
    outcome.kind = OutcomeKind::kCheckCondition;
    outcome.scsi_status = header.status;
    outcome.sense_length = static_cast<std::uint8_t>(ToFixedSense(sense, header.sb_len_wr, outcome.sense));
    return outcome;
  }
  // resid is what the unit did not move; a negative or oversized value is not to be trusted.
  const auto resid = static_cast<std::uint32_t>(std::clamp<long long>(header.resid, 0, command.length));
  outcome.transferred = command.length - resid;
  if (data_in) std::copy_n(bounce_.data(), outcome.transferred, command.data);
  return outcome;
}

}  // namespace velkin::qm::os::linux_os
