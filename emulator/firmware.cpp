#include "firmware.h"

#include <algorithm>
#include <vector>

#include "formats/le_bytes.h"

namespace velkin::emu {
namespace {

constexpr std::uint8_t kBusyMark = 0x5A;  // 'Z': "still busy" in byte 0, "done" in byte 8
constexpr std::uint32_t kSectorSize = 4096;
constexpr std::uint32_t kBlockSize = 65536;
constexpr std::size_t kRequestSize = 64;

std::uint32_t BigEndian32(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) << 24 | static_cast<std::uint32_t>(b[at + 1]) << 16 |
         static_cast<std::uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

Response Good(std::uint32_t transferred = 0) {
  Response r;
  r.transferred = transferred;
  return r;
}

Response Check(Sense sense) {
  Response r;
  r.kind = Response::Kind::kCheckCondition;
  r.sense = sense;
  return r;
}

Response Gone() {
  Response r;
  r.kind = Response::Kind::kGone;
  return r;
}

bool Matches(const std::optional<CommandKind>& selector, CommandKind kind) {
  return selector && (*selector == CommandKind::kAny || *selector == kind);
}

void PutPadded(std::span<std::uint8_t> out, const std::string& text) {
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : ' ';
}

}  // namespace

std::array<std::uint8_t, 18> Response::FixedSense() const {
  std::array<std::uint8_t, 18> s{};
  s[0] = 0x70;  // current error, fixed format
  s[2] = sense.key & 0x0F;
  s[7] = 10;  // additional sense length
  s[12] = sense.asc;
  s[13] = sense.ascq;
  return s;
}

Firmware::Firmware(Identity identity, Storage& flash, Storage& eeprom)
    : identity_(std::move(identity)), flash_(flash), eeprom_(eeprom) {}

void Firmware::SetFaults(const Faults& faults) {
  faults_ = faults;
  fail_left_ = faults.fail_count;
  check_left_ = faults.check_count;
  commands_ = 0;
}

std::optional<Response> Firmware::InjectedFault(CommandKind kind) {
  if (Matches(faults_.fail, kind)) {
    // A count of 0 fails for ever; otherwise only that many calls fail.
    if (faults_.fail_count == 0 || fail_left_ > 0) {
      if (fail_left_ > 0) --fail_left_;
      Response r;
      r.kind = Response::Kind::kTransportError;
      r.os_error = faults_.fail_error;
      return r;
    }
  }
  if (Matches(faults_.check, kind)) {
    if (faults_.check_count == 0 || check_left_ > 0) {
      if (check_left_ > 0) --check_left_;
      return Check({faults_.check_sense[0], faults_.check_sense[1], faults_.check_sense[2]});
    }
  }
  return std::nullopt;
}

Response Firmware::Execute(std::span<const std::uint8_t> cdb, Direction direction, std::span<std::uint8_t> data) {
  if (gone_ || (faults_.unplug_after && commands_ >= *faults_.unplug_after)) {
    gone_ = true;
    return Gone();
  }
  ++commands_;
  // The unit goes away right after it has answered its last command.
  struct GoneAfter {
    Firmware& f;
    ~GoneAfter() {
      if (f.faults_.unplug_after && f.commands_ >= *f.faults_.unplug_after) f.gone_ = true;
    }
  } gone_after{*this};

  if (cdb.empty()) return Check(kInvalidOpcode);
  if (auto fault = InjectedFault(ClassifyCommand(cdb.data(), cdb.size()))) return *fault;

  switch (cdb[0]) {
    case 0x00:  // TEST UNIT READY: a CD-ROM type unit has no medium
      return identity_.type == UnitType::kCdRom ? Check(kMediumNotPresent) : Good();
    case 0x12:
      return Inquiry(cdb, direction, data);
    case 0xFD:
      return Vendor(cdb, direction, data);
    case 0xE0:
      if (cdb.size() < 16 || cdb[14] != 'Q' || cdb[15] != 'M') return Check(kInvalidFieldInCdb);
      return DataOut(direction, data);
    case 0xD0:
      if (cdb.size() < 16 || cdb[14] != 'Q' || cdb[15] != 'M') return Check(kInvalidFieldInCdb);
      return DataIn(direction, data);
    default:
      return Check(kInvalidOpcode);
  }
}

Response Firmware::Inquiry(std::span<const std::uint8_t> cdb, Direction direction, std::span<std::uint8_t> data) {
  if (cdb.size() < 6 || (cdb[1] & 0x01) != 0 || cdb[2] != 0) return Check(kInvalidFieldInCdb);  // no VPD pages
  const std::size_t allocation = static_cast<std::size_t>(cdb[3]) << 8 | cdb[4];
  if (allocation > 0 && direction != Direction::kIn) return Check(kInvalidFieldInCdb);
  std::array<std::uint8_t, 36> inquiry{};
  inquiry[0] = identity_.type == UnitType::kCdRom ? 0x05 : 0x00;
  inquiry[1] = 0x80;  // removable medium
  inquiry[2] = 0x02;
  inquiry[3] = 0x02;  // response data format
  inquiry[4] = 31;    // additional length
  PutPadded(std::span(inquiry).subspan(8, 8), identity_.vendor);
  PutPadded(std::span(inquiry).subspan(16, 16), identity_.product);
  PutPadded(std::span(inquiry).subspan(32, 4), identity_.revision);
  const std::size_t n = std::min({inquiry.size(), allocation, data.size()});
  std::copy_n(inquiry.begin(), n, data.begin());
  return Good(static_cast<std::uint32_t>(n));
}

Response Firmware::Vendor(std::span<const std::uint8_t> cdb, Direction direction, std::span<std::uint8_t> data) {
  // Every vendor command carries the signature "QM" and the constant 0x06 in byte 6.
  if (cdb.size() < 16 || cdb[14] != 'Q' || cdb[15] != 'M' || cdb[6] != 0x06) return Check(kInvalidFieldInCdb);
  const std::uint32_t address = BigEndian32(cdb, 2);
  const std::uint32_t count = static_cast<std::uint32_t>(cdb[7]) << 8 | cdb[8];
  switch (cdb[1]) {
    case 0x20:
      if (cdb[7] != 0) return Check(kInvalidFieldInCdb);
      return MemoryErase(address, cdb[8]);
    case 0x28:
      return MemoryRead(address, count, direction, data);
    case 0x2A:
      return MemoryWrite(address, count, direction, data);
    default:
      return Check(kInvalidFieldInCdb);
  }
}

Response Firmware::MemoryErase(std::uint32_t address, std::uint8_t size_code) {
  // The size code counts 512-byte units: 8 is a 4 KiB sector, 128 a 64 KiB block. The unit
  // erases the sector or block that holds the address.
  std::uint32_t size = 0;
  if (size_code == 8) {
    size = kSectorSize;
  } else if (size_code == 128) {
    size = kBlockSize;
  } else {
    return Check(kInvalidFieldInCdb);
  }
  const std::uint64_t start = address & ~(size - 1);
  if (start + size > flash_.Size()) return Check(kAddressOutOfRange);
  const std::vector<std::uint8_t> erased(size, 0xFF);
  if (!flash_.Write(static_cast<std::size_t>(start), erased)) return Check(kWriteError);
  return Good();
}

Response Firmware::MemoryRead(std::uint32_t address, std::uint32_t count, Direction direction,
                              std::span<std::uint8_t> data) {
  if (count == 0) return Good();
  if (direction != Direction::kIn) return Check(kInvalidFieldInCdb);
  if (static_cast<std::uint64_t>(address) + count > flash_.Size()) return Check(kAddressOutOfRange);
  const std::size_t n = std::min<std::size_t>(count, data.size());
  if (!flash_.Read(address, data.first(n))) return Check(kAddressOutOfRange);
  return Good(static_cast<std::uint32_t>(n));
}

Response Firmware::MemoryWrite(std::uint32_t address, std::uint32_t count, Direction direction,
                               std::span<const std::uint8_t> data) {
  if (count == 0) return Good();
  if (direction != Direction::kOut) return Check(kInvalidFieldInCdb);
  if (static_cast<std::uint64_t>(address) + count > flash_.Size()) return Check(kAddressOutOfRange);
  if (faults_.refuse_write_at && *faults_.refuse_write_at >= address && *faults_.refuse_write_at - address < count) {
    return Check(kWriteError);
  }
  const std::size_t n = std::min<std::size_t>(count, data.size());
  // NOR flash: programming can only clear bits; setting them again needs an erase.
  std::vector<std::uint8_t> cells(n);
  if (!flash_.Read(address, cells)) return Check(kAddressOutOfRange);
  for (std::size_t i = 0; i < n; ++i) cells[i] &= data[i];
  if (!flash_.Write(address, cells)) return Check(kWriteError);
  return Good(static_cast<std::uint32_t>(n));
}

Response Firmware::DataOut(Direction direction, std::span<const std::uint8_t> data) {
  if (direction != Direction::kOut || data.size() < 2) return Check(kInvalidFieldInCdb);
  std::array<std::uint8_t, kRequestSize> request{};
  std::copy_n(data.begin(), std::min(data.size(), request.size()), request.begin());
  const auto taken = static_cast<std::uint32_t>(data.size());

  switch (request[1]) {
    case 0x20:  // flash identity, as the chip's JEDEC identification gives it
      eeprom_op_.reset();
      reply_.fill(0);
      reply_[1] = faults_.wrong_echo ? 0x02 : 0x20;
      std::copy(identity_.flash_id.begin(), identity_.flash_id.end(), reply_.begin() + 13);
      return Good(taken);
    case 0x06:  // I/O port: byte 3 is 0 to take the port, 1 to release it
      if (request[3] > 1) return Check(kInvalidFieldInParameters);
      io_port_set_ = request[3] == 0;
      return Good(taken);
    case 0x0D:
    case 0x0F:
      return EepromRequest(request, taken);
    case 0x21:  // whole-chip erase: accepted at once, ends after some end polls
    {
      eeprom_op_.reset();
      const std::vector<std::uint8_t> erased(flash_.Size(), 0xFF);
      if (!flash_.Write(0, erased)) return Check(kWriteError);
      bulk_erase_polls_left_ = faults_.bulk_erase_polls;
      reply_.fill(0);
      reply_[1] = 0x21;
      reply_[13] = kBusyMark;
      return Good(taken);
    }
    case 0x22:  // end poll of the whole-chip erase
      eeprom_op_.reset();
      reply_.fill(0);
      reply_[1] = 0x22;
      if (bulk_erase_polls_left_ && *bulk_erase_polls_left_ > 0) {
        --*bulk_erase_polls_left_;
      } else {
        bulk_erase_polls_left_.reset();
        reply_[13] = kBusyMark;
      }
      return Good(taken);
    default:
      return Check(kInvalidFieldInParameters);
  }
}

Response Firmware::EepromRequest(std::span<const std::uint8_t> request, std::uint32_t taken) {
  // Byte 3 is always 1; byte 5 is the EEPROM's device address with the read bit (0xA1) or
  // without it (0xA0).
  if (request[3] != 1 || (request[5] != 0xA0 && request[5] != 0xA1)) return Check(kInvalidFieldInParameters);
  EepromOperation op;
  std::copy(request.begin(), request.end(), op.request.begin());
  op.busy_left = faults_.eeprom_busy;
  op.forever = faults_.eeprom_busy_forever;
  eeprom_op_ = op;
  return Good(taken);
}

void Firmware::CompleteEeprom() {
  const auto& rq = eeprom_op_->request;
  const bool sixteen = rq[1] == 0x0F;
  const bool read = rq[5] == 0xA1;
  const std::size_t size = eeprom_.Size();
  reply_.fill(0);
  reply_[1] = rq[1];
  bool ok = !faults_.eeprom_fail && size > 0;
  if (ok) {
    // Addresses wrap around the end of the EEPROM, as the chip's address counter does.
    const std::size_t count = sixteen ? 16 : 1;
    for (std::size_t i = 0; ok && i < count; ++i) {
      const std::size_t at = (rq[6] + i) % size;
      std::uint8_t byte = 0;
      if (read) {
        ok = eeprom_.Read(at, std::span(&byte, 1));
        reply_[sixteen ? 16 + i : 9] = byte;
      } else {
        byte = sixteen ? rq[16 + i] : rq[7];
        ok = eeprom_.Write(at, std::span<const std::uint8_t>(&byte, 1));
      }
    }
  }
  reply_[8] = ok ? kBusyMark : 0x00;
  eeprom_op_.reset();
}

namespace {

// SaveState's layout: a version byte, a flag byte, the reply and the pending EEPROM request
// (64 bytes each), the busy replies still due and the end polls still due (32 bits, little end).
constexpr std::uint8_t kStateVersion = 1;
constexpr std::size_t kStateSize = 2 + 2 * kRequestSize + 4 + 4;
constexpr std::uint8_t kStateIoPort = 0x01;
constexpr std::uint8_t kStateEeprom = 0x02;
constexpr std::uint8_t kStateEepromForever = 0x04;
constexpr std::uint8_t kStateBulkErase = 0x08;

}  // namespace

std::vector<std::uint8_t> Firmware::SaveState() const {
  std::vector<std::uint8_t> out;
  out.reserve(kStateSize);
  out.push_back(kStateVersion);
  std::uint8_t flags = io_port_set_ ? kStateIoPort : 0;
  if (eeprom_op_) flags |= kStateEeprom | (eeprom_op_->forever ? kStateEepromForever : 0);
  if (bulk_erase_polls_left_) flags |= kStateBulkErase;
  out.push_back(flags);
  out.insert(out.end(), reply_.begin(), reply_.end());
  const std::array<std::uint8_t, kRequestSize> none{};
  const auto& request = eeprom_op_ ? eeprom_op_->request : none;
  out.insert(out.end(), request.begin(), request.end());
  velkin::bytes::AppendU32(out, eeprom_op_ ? eeprom_op_->busy_left : 0);
  velkin::bytes::AppendU32(out, bulk_erase_polls_left_.value_or(0));
  return out;
}

bool Firmware::LoadState(std::span<const std::uint8_t> bytes) {
  if (bytes.size() != kStateSize || bytes[0] != kStateVersion) return false;
  const std::uint8_t flags = bytes[1];
  io_port_set_ = (flags & kStateIoPort) != 0;
  std::copy_n(bytes.begin() + 2, kRequestSize, reply_.begin());
  eeprom_op_.reset();
  if ((flags & kStateEeprom) != 0) {
    EepromOperation op;
    std::copy_n(bytes.begin() + 2 + kRequestSize, kRequestSize, op.request.begin());
    op.busy_left = velkin::bytes::LoadU32(bytes, 2 + 2 * kRequestSize);
    op.forever = (flags & kStateEepromForever) != 0;
    eeprom_op_ = op;
  }
  bulk_erase_polls_left_.reset();
  if ((flags & kStateBulkErase) != 0) bulk_erase_polls_left_ = velkin::bytes::LoadU32(bytes, 2 + 2 * kRequestSize + 4);
  return true;
}

Response Firmware::DataIn(Direction direction, std::span<std::uint8_t> data) {
  if (direction != Direction::kIn) return Check(kInvalidFieldInCdb);
  if (eeprom_op_) {
    if (eeprom_op_->forever || eeprom_op_->busy_left > 0) {
      if (eeprom_op_->busy_left > 0) --eeprom_op_->busy_left;
      std::array<std::uint8_t, kRequestSize> busy{};
      busy[0] = kBusyMark;
      const std::size_t n = std::min(busy.size(), data.size());
      std::copy_n(busy.begin(), n, data.begin());
      return Good(static_cast<std::uint32_t>(n));
    }
    CompleteEeprom();
  }
  const std::size_t n = std::min(reply_.size(), data.size());
  std::copy_n(reply_.begin(), n, data.begin());
  return Good(static_cast<std::uint32_t>(n));
}

}  // namespace velkin::emu
