// The Linux transport: one command block through the SG_IO ioctl on the unit's /dev/sgN node.
//
// Why the sg node and not /dev/sdX or /dev/srN: the block layer lets vendor-specific command
// blocks through SG_IO on a block node only with CAP_SYS_RAWIO, while the sg node opened
// read-write passes them for anyone who may open it (the udev rule in packaging/udev grants that
// to the logged-in user).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "device/qmlib/os/transport.h"
#include "udev_handles.h"

namespace velkin::qm::os::linux_os {

class SgTransport : public Transport {
 public:
  bool Open(const std::string& path) override;
  void Close() override { fd_.Reset(); }
  bool IsOpen() const override { return fd_.valid(); }
  OpenFailure LastOpenFailure() const override { return failure_; }
  // flock on the sg node: every program that uses the unit through this library takes it around
  // each exchange. The sg driver opens the node without exclusion, so this is the only thing
  // that keeps a second program between a request and its replies.
  std::uint32_t LockUnit(std::chrono::milliseconds wait) override;
  void UnlockUnit() override;
  CommandOutcome Carry(const CommandBlock& command) override;

 private:
  UniqueFd fd_;
  OpenFailure failure_;
  // Data-in phases land here first, so that the caller's buffer is written only on success
  // (a unit may deliver part of its data before it answers CHECK CONDITION).
  std::vector<std::uint8_t> bounce_;
};

// Sense data in the fixed format the device object packs (key in byte 2, ASC in byte 12, ASCQ in
// byte 13). Fixed-format sense (response code 0x70/0x71) is passed on as it came; descriptor
// format (0x72/0x73), which newer units and libata return, is rewritten into the fixed layout.
// Returns the number of valid bytes in `out`.
std::size_t ToFixedSense(const std::uint8_t* sense, std::size_t length, std::array<std::uint8_t, 32>& out);

}  // namespace velkin::qm::os::linux_os
