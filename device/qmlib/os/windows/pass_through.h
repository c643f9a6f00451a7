// SCSI pass-through on a disk device handle: the two request records and the transport that
// carries one command block with them.
//
// Up to 16384 bytes of data travel inside the buffered record (IOCTL_SCSI_PASS_THROUGH): the
// data is copied through it. Larger transfers use the direct record
// (IOCTL_SCSI_PASS_THROUGH_DIRECT), which points the driver at the caller's buffer, so that no
// copy is made, unless the buffer does not meet the adapter's alignment: the driver refuses such
// a buffer (invalid parameter), so the data then goes through an aligned buffer of our own. The
// adapter's alignment and largest transfer are asked for at open (IOCTL_STORAGE_QUERY_PROPERTY,
// StorageAdapterProperty). Both records are laid out with the system's structures; the sizes and offsets
// the unit's driver sees on 32-bit Windows are pinned below.
#pragma once

#include <windows.h>
// ntddscsi.h needs the types of windows.h and the control-code macros of winioctl.h.
#include <ntddscsi.h>
#include <winioctl.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "device/qmlib/os/transport.h"
#include "win32_handles.h"

namespace velkin::qm::os::win {

inline constexpr std::uint32_t kBufferedDataSize = 0x4000;  // the largest transfer that goes buffered
inline constexpr std::uint8_t kSenseInfoLength = 24;        // sense bytes asked of the driver

struct BufferedPassThroughRecord {
  SCSI_PASS_THROUGH header;
  ULONG filler;  // puts the sense area on an 8-byte boundary
  UCHAR sense[32];
  UCHAR data[kBufferedDataSize];
};

struct DirectPassThroughRecord {
  SCSI_PASS_THROUGH_DIRECT header;
  ULONG filler;
  UCHAR sense[64];
};

// The layout on 32-bit Windows, where the deliverables run.
static_assert(sizeof(void*) != 4 || sizeof(SCSI_PASS_THROUGH) == 44);
static_assert(sizeof(void*) != 4 || sizeof(SCSI_PASS_THROUGH_DIRECT) == 44);
static_assert(sizeof(void*) != 4 || sizeof(BufferedPassThroughRecord) == 16464);
static_assert(sizeof(void*) != 4 || offsetof(BufferedPassThroughRecord, sense) == 48);
static_assert(sizeof(void*) != 4 || offsetof(BufferedPassThroughRecord, data) == 80);
static_assert(sizeof(void*) != 4 || sizeof(DirectPassThroughRecord) == 112);
static_assert(sizeof(void*) != 4 || offsetof(DirectPassThroughRecord, sense) == 48);
static_assert(IOCTL_SCSI_PASS_THROUGH == 0x4D004);
static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == 0x4D014);

// One unit behind a disk device interface path. Makes one DeviceIoControl attempt per command;
// the device object above retries, packs the sense and keeps the last error.
class PassThroughTransport : public Transport {
 public:
  bool Open(const std::string& path) override;
  void Close() override;
  bool IsOpen() const override { return handle_.valid(); }
  OpenFailure LastOpenFailure() const override { return failure_; }
  // A named mutex per unit ("Global\\VelkinUnit-" and the interface path): the handle is opened
  // with read and write sharing, so nothing else keeps a second program between a request and
  // its replies.
  std::uint32_t LockUnit(std::chrono::milliseconds wait) override;
  void UnlockUnit() override;
  CommandOutcome Carry(const CommandBlock& command) override;

  // What the adapter asked for at open: the alignment mask of data buffers (0: any address) and
  // the largest transfer (0: not known, no limit applied).
  std::uint32_t alignment_mask() const { return alignment_mask_; }
  std::uint32_t max_transfer() const { return max_transfer_; }

 private:
  void QueryAdapter();
  CommandOutcome CarryBuffered(const CommandBlock& command);
  CommandOutcome CarryDirect(const CommandBlock& command);

  UniqueHandle handle_;
  UniqueHandle unit_mutex_;
  OpenFailure failure_;
  std::uint32_t alignment_mask_ = 0;
  std::uint32_t max_transfer_ = 0;
  std::vector<std::uint8_t> aligned_;  // room for a data phase at an aligned address
};

// The name of a unit's mutex: the interface path in lower case (paths are compared without regard
// to case), backslashes made '/', cut to fit a name.
std::string UnitMutexName(const std::string& path);

}  // namespace velkin::qm::os::win
