// The firmware model on arbitrary command sequences: each command is a length-prefixed command block,
// a direction and a data phase taken from the input. The model must stay inside the buffers it is
// given, never claim to have moved more than the data phase holds, and keep its stores' sizes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "emulator/device_folder.h"
#include "emulator/firmware.h"
#include "emulator/storage.h"

namespace {

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::span<const std::uint8_t> Take(std::size_t n) {
    n = std::min(n, size_ - at_);
    std::span<const std::uint8_t> bytes(data_ + at_, n);
    at_ += n;
    return bytes;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velkin::emu;
  // A small flash keeps the erase commands cheap; addresses beyond it must be refused.
  MemoryStorage flash(64 * 1024, 0xFF);
  MemoryStorage eeprom(kEepromSize, 0x00);
  Identity identity;
  identity.flash_id = {0x20, 0x20, 0x10};
  Firmware firmware(identity, flash, eeprom);

  Input in(data, size);
  for (int commands = 0; !in.empty() && commands < 64; ++commands) {
    const std::uint8_t head = in.Byte();
    const auto cdb = in.Take(head & 0x1F);
    const auto direction = static_cast<Direction>((head >> 5) % 3);
    // The data phase: up to 8 KiB, its bytes from the input for data-out.
    const std::size_t length = (static_cast<std::size_t>(in.Byte()) << 5) | (in.Byte() & 0x1F);
    std::vector<std::uint8_t> buffer(length, 0xA5);
    const auto out_bytes = in.Take(direction == Direction::kOut ? length : 0);
    std::copy(out_bytes.begin(), out_bytes.end(), buffer.begin());

    const Response r = firmware.Execute(cdb, direction, buffer);
    if (r.kind == Response::Kind::kGood && r.transferred > buffer.size()) std::abort();
    if (r.kind != Response::Kind::kGood && r.transferred != 0 && direction == Direction::kIn) std::abort();
    if (flash.bytes().size() != 64 * 1024 || eeprom.bytes().size() != kEepromSize) std::abort();
  }
  return 0;
}
