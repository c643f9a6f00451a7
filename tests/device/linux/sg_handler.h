// An SG_IO ioctl handler for a mocked /dev/sgN node: the firmware model of the device answers
// every command the product code sends through the real ioctl(fd, SG_IO, &hdr), and every call
// is logged as the kernel would have received it (header fields, command block, data-out bytes).
//
// umockdev runs the handler on a thread of its own while the caller's ioctl waits; the state
// below is guarded by one mutex.
#pragma once

#include <umockdev.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <ostream>
#include <vector>

#include "emulator/firmware.h"
#include "emulator/storage.h"

namespace velkin::test::linux_bed {

using Bytes = std::vector<std::uint8_t>;

// One SG_IO call as the handler saw it.
struct SgCall {
  int interface_id = 0;
  int direction = 0;  // SG_DXFER_NONE, SG_DXFER_TO_DEV or SG_DXFER_FROM_DEV
  Bytes cdb;          // cmd_len bytes
  std::uint32_t dxfer_len = 0;
  std::uint32_t timeout_ms = 0;
  std::uint32_t mx_sb_len = 0;
  Bytes data_out;  // the data phase of a data-out command
};

// How a pulled unit answers on file descriptors that are still open.
enum class PulledAnswer {
  kNone,           // the unit is there
  kNoDevice,       // the ioctl fails with ENODEV
  kHostNoConnect,  // the ioctl succeeds with host status DID_NO_CONNECT
};

// Names the parameter in test listings.
inline void PrintTo(PulledAnswer answer, std::ostream* out) {
  *out << (answer == PulledAnswer::kNone ? "present" : answer == PulledAnswer::kNoDevice ? "ENODEV" : "DID_NO_CONNECT");
}

class SgFirmwareHandler {
 public:
  explicit SgFirmwareHandler(emu::Identity identity = {}, std::size_t flash_size = 256 * 1024);
  ~SgFirmwareHandler();
  SgFirmwareHandler(const SgFirmwareHandler&) = delete;
  SgFirmwareHandler& operator=(const SgFirmwareHandler&) = delete;

  UMockdevIoctlBase* object() const { return object_; }

  // The calls seen since the last call of this function.
  std::vector<SgCall> TakeCalls();

  // The next `count` SG_IO calls fail with -1 and `error`.
  void FailIoctls(int count, int error);
  // The next `count` SG_IO calls come back with this host or driver status (the command never
  // got an answer from the unit).
  void FailHost(int count, std::uint16_t host_status, std::uint16_t driver_status = 0);
  void Pull(PulledAnswer answer);
  // Check conditions come with descriptor-format sense data instead of fixed format.
  void UseDescriptorSense(bool on);
  void SetFaults(const emu::Faults& faults);

  Bytes Flash(std::size_t offset, std::size_t count);
  Bytes Eeprom(std::size_t offset, std::size_t count);
  void FillFlash(std::size_t offset, const Bytes& bytes);
  void FillEeprom(std::size_t offset, const Bytes& bytes);
  bool IoPortTaken();

 private:
  static gboolean OnIoctl(UMockdevIoctlBase* base, UMockdevIoctlClient* client, gpointer self);
  void Answer(UMockdevIoctlClient* client);

  UMockdevIoctlBase* object_;
  std::mutex mutex_;
  emu::MemoryStorage flash_;
  emu::MemoryStorage eeprom_;
  emu::Firmware firmware_;
  std::vector<SgCall> calls_;
  int fail_left_ = 0;
  int fail_error_ = 0;
  int host_fail_left_ = 0;
  std::uint16_t host_status_ = 0;
  std::uint16_t driver_status_ = 0;
  PulledAnswer pulled_ = PulledAnswer::kNone;
  bool descriptor_sense_ = false;
};

}  // namespace velkin::test::linux_bed
