#include "sg_handler.h"

#include <scsi/sg.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <utility>

namespace velkin::test::linux_bed {
namespace {

constexpr std::uint8_t kCheckCondition = 0x02;
constexpr std::uint16_t kDriverSense = 0x08;

// Owns a reference to data resolved from the caller's memory.
struct DataRef {
  UMockdevIoctlData* data = nullptr;
  explicit DataRef(UMockdevIoctlData* d) : data(d) {}
  DataRef(const DataRef&) = delete;
  DataRef& operator=(const DataRef&) = delete;
  ~DataRef() {
    if (data != nullptr) g_object_unref(data);
  }
  std::uint8_t* bytes() const { return data != nullptr ? data->data : nullptr; }
};

// The caller's buffer that the pointer field at `offset` of `parent` points to.
UMockdevIoctlData* Resolve(UMockdevIoctlData* parent, std::size_t offset, std::size_t length) {
  if (length == 0) return nullptr;
  GError* error = nullptr;
  UMockdevIoctlData* child = umockdev_ioctl_data_resolve(parent, offset, length, &error);
  if (error != nullptr) g_error_free(error);
  return child;
}

emu::Direction DirectionOf(int dxfer_direction) {
  switch (dxfer_direction) {
    case SG_DXFER_TO_DEV:
      return emu::Direction::kOut;
    case SG_DXFER_FROM_DEV:
      return emu::Direction::kIn;
    default:
      return emu::Direction::kNone;
  }
}

// Descriptor-format sense: response code 0x72, key, ASC and ASCQ in bytes 1 to 3, no
// descriptors.
Bytes DescriptorSense(const emu::Sense& sense) {
  return {0x72, sense.key, sense.asc, sense.ascq, 0, 0, 0, 0};
}

}  // namespace

SgFirmwareHandler::SgFirmwareHandler(emu::Identity identity, std::size_t flash_size)
    : object_(static_cast<UMockdevIoctlBase*>(g_object_new(UMOCKDEV_TYPE_IOCTL_BASE, nullptr))),
      flash_(flash_size, 0xFF),
      eeprom_(256, 0xFF),
      firmware_(std::move(identity), flash_, eeprom_) {
  g_signal_connect(object_, "handle-ioctl", G_CALLBACK(&SgFirmwareHandler::OnIoctl), this);
}

SgFirmwareHandler::~SgFirmwareHandler() {
  g_signal_handlers_disconnect_by_data(object_, this);
  g_object_unref(object_);
}

gboolean SgFirmwareHandler::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  if (umockdev_ioctl_client_get_request(client) != SG_IO) return FALSE;  // not ours: ENOTTY
  static_cast<SgFirmwareHandler*>(self)->Answer(client);
  return TRUE;
}

void SgFirmwareHandler::Answer(UMockdevIoctlClient* client) {
  std::lock_guard guard(mutex_);
  DataRef header_data(Resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(sg_io_hdr_t)));
  if (header_data.data == nullptr) {
    umockdev_ioctl_client_complete(client, -1, EFAULT);
    return;
  }
  // The header is copied out: its bytes in the resolved buffer need not be aligned.
  sg_io_hdr_t header;
  std::memcpy(&header, header_data.bytes(), sizeof header);
  // What the kernel reports back starts from nothing, whatever the caller left in it.
  header.status = header.masked_status = 0;
  header.sb_len_wr = 0;
  header.host_status = header.driver_status = 0;
  header.resid = 0;
  header.info = 0;

  SgCall call;
  call.interface_id = header.interface_id;
  call.direction = header.dxfer_direction;
  call.dxfer_len = header.dxfer_len;
  call.timeout_ms = header.timeout;
  call.mx_sb_len = header.mx_sb_len;
  DataRef cdb(Resolve(header_data.data, offsetof(sg_io_hdr_t, cmdp), header.cmd_len));
  DataRef data(Resolve(header_data.data, offsetof(sg_io_hdr_t, dxferp), header.dxfer_len));
  DataRef sense(Resolve(header_data.data, offsetof(sg_io_hdr_t, sbp), header.mx_sb_len));
  if (cdb.data != nullptr) call.cdb.assign(cdb.bytes(), cdb.bytes() + header.cmd_len);
  if (data.data != nullptr && header.dxfer_direction == SG_DXFER_TO_DEV) {
    call.data_out.assign(data.bytes(), data.bytes() + header.dxfer_len);
  }
  calls_.push_back(call);

  if (header.interface_id != 'S') {
    umockdev_ioctl_client_complete(client, -1, ENOSYS);
    return;
  }
  if (pulled_ == PulledAnswer::kNoDevice) {
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return;
  }
  if (fail_left_ > 0) {
    --fail_left_;
    umockdev_ioctl_client_complete(client, -1, fail_error_);
    return;
  }
  // Only the fields the kernel fills in go back; the caller's pointers stay as they are.
  const auto finish = [&] {
    const auto put = [&](std::size_t offset, const auto& field) {
      std::memcpy(header_data.bytes() + offset, &field, sizeof field);
    };
    put(offsetof(sg_io_hdr_t, status), header.status);
    put(offsetof(sg_io_hdr_t, masked_status), header.masked_status);
    put(offsetof(sg_io_hdr_t, sb_len_wr), header.sb_len_wr);
    put(offsetof(sg_io_hdr_t, host_status), header.host_status);
    put(offsetof(sg_io_hdr_t, driver_status), header.driver_status);
    put(offsetof(sg_io_hdr_t, resid), header.resid);
    put(offsetof(sg_io_hdr_t, info), header.info);
    umockdev_ioctl_client_complete(client, 0, 0);
  };
  if (pulled_ == PulledAnswer::kHostNoConnect || host_fail_left_ > 0) {
    if (pulled_ == PulledAnswer::kHostNoConnect) {
      header.host_status = 0x01;
    } else {
      header.host_status = host_status_;
      header.driver_status = driver_status_;
      --host_fail_left_;
    }
    header.resid = static_cast<int>(header.dxfer_len);
    header.info = SG_INFO_CHECK;
    finish();
    return;
  }
  if (cdb.data == nullptr || (header.dxfer_len > 0 && data.data == nullptr)) {
    umockdev_ioctl_client_complete(client, -1, EFAULT);
    return;
  }

  const auto direction = DirectionOf(header.dxfer_direction);
  const auto response =
      firmware_.Execute(std::span<const std::uint8_t>(cdb.bytes(), header.cmd_len), direction,
                        std::span<std::uint8_t>(data.bytes(), data.data != nullptr ? header.dxfer_len : 0));
  switch (response.kind) {
    case emu::Response::Kind::kGood:
      header.resid = static_cast<int>(header.dxfer_len - response.transferred);
      break;
    case emu::Response::Kind::kCheckCondition: {
      header.status = kCheckCondition;
      header.masked_status = kCheckCondition >> 1;
      header.driver_status = kDriverSense;
      header.info = SG_INFO_CHECK;
      header.resid = static_cast<int>(header.dxfer_len);
      const auto fixed = response.FixedSense();
      const Bytes bytes = descriptor_sense_ ? DescriptorSense(response.sense) : Bytes(fixed.begin(), fixed.end());
      const auto n = std::min<std::size_t>(bytes.size(), header.mx_sb_len);
      if (sense.data != nullptr) std::copy_n(bytes.begin(), n, sense.bytes());
      header.sb_len_wr = static_cast<unsigned char>(sense.data != nullptr ? n : 0);
      // A unit may have delivered part of its data before it gave up: the caller must not take
      // it for an answer.
      if (direction == emu::Direction::kIn) std::fill_n(data.bytes(), header.dxfer_len, 0xEE);
      break;
    }
    case emu::Response::Kind::kTransportError:
      umockdev_ioctl_client_complete(client, -1, static_cast<int>(response.os_error));
      return;
    case emu::Response::Kind::kGone:
      umockdev_ioctl_client_complete(client, -1, ENODEV);
      return;
  }
  finish();
}

std::vector<SgCall> SgFirmwareHandler::TakeCalls() {
  std::lock_guard guard(mutex_);
  return std::exchange(calls_, {});
}

void SgFirmwareHandler::FailIoctls(int count, int error) {
  std::lock_guard guard(mutex_);
  fail_left_ = count;
  fail_error_ = error;
}

void SgFirmwareHandler::FailHost(int count, std::uint16_t host_status, std::uint16_t driver_status) {
  std::lock_guard guard(mutex_);
  host_fail_left_ = count;
  host_status_ = host_status;
  driver_status_ = driver_status;
}

void SgFirmwareHandler::Pull(PulledAnswer answer) {
  std::lock_guard guard(mutex_);
  pulled_ = answer;
}

void SgFirmwareHandler::UseDescriptorSense(bool on) {
  std::lock_guard guard(mutex_);
  descriptor_sense_ = on;
}

void SgFirmwareHandler::SetFaults(const emu::Faults& faults) {
  std::lock_guard guard(mutex_);
  firmware_.SetFaults(faults);
}

Bytes SgFirmwareHandler::Flash(std::size_t offset, std::size_t count) {
  std::lock_guard guard(mutex_);
  return Bytes(flash_.bytes().begin() + static_cast<std::ptrdiff_t>(offset),
               flash_.bytes().begin() + static_cast<std::ptrdiff_t>(offset + count));
}

Bytes SgFirmwareHandler::Eeprom(std::size_t offset, std::size_t count) {
  std::lock_guard guard(mutex_);
  return Bytes(eeprom_.bytes().begin() + static_cast<std::ptrdiff_t>(offset),
               eeprom_.bytes().begin() + static_cast<std::ptrdiff_t>(offset + count));
}

void SgFirmwareHandler::FillFlash(std::size_t offset, const Bytes& bytes) {
  std::lock_guard guard(mutex_);
  std::copy(bytes.begin(), bytes.end(), flash_.bytes().begin() + static_cast<std::ptrdiff_t>(offset));
}

void SgFirmwareHandler::FillEeprom(std::size_t offset, const Bytes& bytes) {
  std::lock_guard guard(mutex_);
  std::copy(bytes.begin(), bytes.end(), eeprom_.bytes().begin() + static_cast<std::ptrdiff_t>(offset));
}

bool SgFirmwareHandler::IoPortTaken() {
  std::lock_guard guard(mutex_);
  return firmware_.io_port_set();
}

}  // namespace velkin::test::linux_bed
