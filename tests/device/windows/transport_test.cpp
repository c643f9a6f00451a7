// SCSI pass-through on Windows: the records a device object sends through DeviceIoControl, the
// choice between buffered and direct, retries, sense packing, and the vendor conversations over a
// unit whose firmware model answers the records.
#include <gtest/gtest.h>

#include <windows.h>
// ntddscsi.h needs the control-code macros of winioctl.h.
#include <ntddscsi.h>
#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <thread>
#include <vector>

#include "device/qmlib/mass_storage_device.h"
#include "device/qmlib/os/backend.h"
#include "device/qmlib/vendor_commands.h"
#include "fake_machine.h"
#include "fake_windows.h"

namespace velkin::qm::os::win::test {
namespace {

// The record layouts as the driver reads them: the system structure, four filler bytes, the
// sense area (32 bytes buffered, 64 direct), then (buffered) the 16384-byte data area.
constexpr std::size_t kSenseAt = sizeof(SCSI_PASS_THROUGH) + 4;
constexpr std::size_t kDataAt = kSenseAt + 32;
constexpr std::size_t kDirectSenseAt = sizeof(SCSI_PASS_THROUGH_DIRECT) + 4;
constexpr std::size_t kDirectSize = (kDirectSenseAt + 64 + alignof(SCSI_PASS_THROUGH_DIRECT) - 1) /
                                    alignof(SCSI_PASS_THROUGH_DIRECT) * alignof(SCSI_PASS_THROUGH_DIRECT);
constexpr DWORD kBuffered = 0x4D004;
constexpr DWORD kDirect = 0x4D014;

const std::string kPath =
    "\\\\?\\usbstor#cdrom&ven_quamira&prod_voxa_cdrom&rev_1.00#0123456789ab&0#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";

SCSI_PASS_THROUGH BufferedHeader(const IoctlCall& call) {
  SCSI_PASS_THROUGH header;
  std::memcpy(&header, call.in.data(), sizeof header);
  return header;
}

SCSI_PASS_THROUGH_DIRECT DirectHeader(const IoctlCall& call) {
  SCSI_PASS_THROUGH_DIRECT header;
  std::memcpy(&header, call.in.data(), sizeof header);
  return header;
}

std::vector<std::uint8_t> Cdb(const UCHAR (&cdb)[16]) {
  return std::vector<std::uint8_t>(cdb, cdb + 16);
}

std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
  return bytes;
}

class WinPassThrough : public ::testing::Test {
 protected:
  void SetUp() override {
    system_.AddDevice(kPath, PassThroughUnit(unit_));
    DeviceRecord record;
    record.path = kPath;
    record.name = "0123456789ab&0#{";
    device_ = new C_QMMassStorageDevice(C_QMUsbDeviceInfo(record, QMDeviceFilter{}),
                                        CreatePlatformBackend()->CreateTransport());
  }
  void TearDown() override {
    device_->Release();
    EXPECT_EQ(system_.open_handles(), 0u) << "a handle was not closed";
    EXPECT_EQ(system_.open_mutexes(), 0u) << "a unit's mutex was not closed";
    EXPECT_EQ(system_.bad_closes(), 0u);
  }

  VendorCommands Commands() {
    return VendorCommands(*device_, [this] { ++pauses_; });
  }

  // The pass-through calls (not the adapter query at open).
  std::vector<IoctlCall> PassThroughs() const {
    std::vector<IoctlCall> calls;
    for (const auto& call : system_.ioctls()) {
      if (call.code == kBuffered || call.code == kDirect) calls.push_back(call);
    }
    return calls;
  }

  FakeWindows system_;
  std::shared_ptr<FirmwareUnit> unit_ = std::make_shared<FirmwareUnit>();
  C_QMMassStorageDevice* device_ = nullptr;
  int pauses_ = 0;
};

TEST_F(WinPassThrough, OpenAsksForReadWriteWithSharingAndClosesBeforeReopening) {
  ASSERT_EQ(device_->Open(), kQmOk);
  ASSERT_EQ(system_.opens().size(), 1u);
  const OpenCall& open = system_.opens()[0];
  EXPECT_EQ(open.path, kPath);
  EXPECT_EQ(open.access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
  EXPECT_EQ(open.share, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE));
  EXPECT_EQ(open.disposition, static_cast<DWORD>(OPEN_EXISTING));
  EXPECT_EQ(open.flags, 0u);

  ASSERT_EQ(device_->Reopen(), kQmOk);
  EXPECT_EQ(system_.open_handles(), 1u);
  ASSERT_EQ(device_->Close(), kQmOk);
  EXPECT_EQ(system_.open_handles(), 0u);

  // Closed: no request reaches the system.
  std::uint8_t buffer[64] = {};
  EXPECT_EQ(Commands().ReadMemory(0, buffer, sizeof buffer), kQmNotOpen);
  EXPECT_TRUE(PassThroughs().empty());

  system_.RemoveDevice(kPath);
  EXPECT_EQ(device_->Open(), kQmOpenFailed);
  EXPECT_FALSE(device_->IsOpen());
}

TEST_F(WinPassThrough, BufferedWriteCarriesTheCommandAndDataInsideTheRecord) {
  ASSERT_EQ(device_->Open(), kQmOk);
  const auto data = Pattern(4096, 0x31);
  ASSERT_EQ(Commands().WriteMemory(0x00012345, data.data(), 4096), kQmOk);

  ASSERT_EQ(PassThroughs().size(), 1u);
  const IoctlCall call = PassThroughs()[0];
  EXPECT_EQ(call.code, kBuffered);
  EXPECT_EQ(call.in_size, kDataAt + 4096);
  EXPECT_EQ(call.out_size, kDataAt + 4096);
  EXPECT_EQ(call.in_pointer, call.out_pointer) << "one record is both input and output";

  const SCSI_PASS_THROUGH header = BufferedHeader(call);
  EXPECT_EQ(header.Length, sizeof(SCSI_PASS_THROUGH));
  EXPECT_EQ(header.PathId, 0);
  EXPECT_EQ(header.TargetId, 0);
  EXPECT_EQ(header.Lun, 0);
  EXPECT_EQ(header.CdbLength, 16);
  EXPECT_EQ(header.SenseInfoLength, 24);
  EXPECT_EQ(header.DataIn, SCSI_IOCTL_DATA_OUT);
  EXPECT_EQ(header.DataTransferLength, 4096u);
  EXPECT_EQ(header.TimeOutValue, 10u);
  EXPECT_EQ(header.DataBufferOffset, kDataAt);
  EXPECT_EQ(header.SenseInfoOffset, kSenseAt);
  const std::vector<std::uint8_t> expected_cdb = {0xFD, 0x2A, 0x00, 0x01, 0x23, 0x45, 0x06, 0x10,
                                                  0x00, 0,    0,    0,    0,    0,    'Q',  'M'};
  EXPECT_EQ(Cdb(header.Cdb), expected_cdb);
  // The record is zeroed before use: filler and sense area are clear.
  EXPECT_TRUE(std::all_of(call.in.begin() + sizeof(SCSI_PASS_THROUGH), call.in.begin() + kDataAt,
                          [](std::uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), call.in.begin() + kDataAt));
  // And the unit has it.
  EXPECT_TRUE(std::equal(data.begin(), data.end(), unit_->flash.bytes().begin() + 0x12345));
}

TEST_F(WinPassThrough, EraseIsAWriteWithoutDataPhase) {
  ASSERT_EQ(device_->Open(), kQmOk);
  ASSERT_EQ(Commands().EraseMemory(0x10000, 8), kQmOk);
  const SCSI_PASS_THROUGH header = BufferedHeader(PassThroughs().at(0));
  EXPECT_EQ(PassThroughs()[0].code, kBuffered);
  EXPECT_EQ(header.DataTransferLength, 0u);
  EXPECT_EQ(header.DataIn, SCSI_IOCTL_DATA_OUT);
  EXPECT_EQ(PassThroughs()[0].in_size, kDataAt);
  EXPECT_EQ(PassThroughs()[0].out_size, kDataAt);
}

TEST_F(WinPassThrough, SixteenKiBGoBufferedAndOneByteMoreGoesDirect) {
  std::iota(unit_->flash.bytes().begin(), unit_->flash.bytes().end(), std::uint8_t{3});
  ASSERT_EQ(device_->Open(), kQmOk);

  std::vector<std::uint8_t> buffer(16385, 0xEE);
  ASSERT_EQ(Commands().ReadMemory(0x100, buffer.data(), 16384), kQmOk);
  {
    const IoctlCall call = PassThroughs().at(0);
    EXPECT_EQ(call.code, kBuffered);
    EXPECT_EQ(call.in_size, sizeof(SCSI_PASS_THROUGH)) << "a buffered read sends only the structure";
    EXPECT_EQ(call.out_size, kDataAt + 16384);
    EXPECT_EQ(BufferedHeader(call).DataIn, SCSI_IOCTL_DATA_IN);
    EXPECT_EQ(BufferedHeader(call).DataTransferLength, 16384u);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 16384, unit_->flash.bytes().begin() + 0x100));
    EXPECT_EQ(buffer[16384], 0xEE);
  }

  std::fill(buffer.begin(), buffer.end(), 0xEE);
  ASSERT_EQ(Commands().ReadMemory(0x200, buffer.data(), 16385), kQmOk);
  {
    const IoctlCall call = PassThroughs().at(1);
    EXPECT_EQ(call.code, kDirect);
    EXPECT_EQ(call.in_size, kDirectSize);
    EXPECT_EQ(call.out_size, kDirectSize);
    const SCSI_PASS_THROUGH_DIRECT header = DirectHeader(call);
    EXPECT_EQ(header.Length, sizeof(SCSI_PASS_THROUGH_DIRECT));
    EXPECT_EQ(header.PathId, 0xFF);
    EXPECT_EQ(header.TargetId, 0xFF);
    EXPECT_EQ(header.Lun, 0xFF);
    EXPECT_EQ(header.CdbLength, 16);
    EXPECT_EQ(header.SenseInfoLength, 24);
    EXPECT_EQ(header.DataIn, SCSI_IOCTL_DATA_IN);
    EXPECT_EQ(header.DataTransferLength, 16385u);
    EXPECT_EQ(header.TimeOutValue, 10u);
    EXPECT_EQ(header.DataBuffer, buffer.data()) << "the caller's buffer itself, no copy";
    EXPECT_EQ(header.SenseInfoOffset, kDirectSenseAt);
    EXPECT_EQ(header.Cdb[7], 0x40);
    EXPECT_EQ(header.Cdb[8], 0x01);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), unit_->flash.bytes().begin() + 0x200));
  }

  const auto data = Pattern(16385, 0x55);
  std::fill_n(unit_->flash.bytes().begin() + 0x80000, data.size(), 0xFF);  // erased: NOR flash only clears bits
  ASSERT_EQ(Commands().WriteMemory(0x80000, data.data(), 16385), kQmOk);
  const SCSI_PASS_THROUGH_DIRECT write = DirectHeader(PassThroughs().at(2));
  EXPECT_EQ(PassThroughs()[2].code, kDirect);
  EXPECT_EQ(write.DataIn, SCSI_IOCTL_DATA_OUT);
  EXPECT_EQ(write.DataBuffer, data.data());
  EXPECT_TRUE(std::equal(data.begin(), data.end(), unit_->flash.bytes().begin() + 0x80000));
}

TEST_F(WinPassThrough, AFailingCallIsTriedThreeTimesAndTheThirdErrorKept) {
  int calls = 0;
  const DWORD errors[] = {ERROR_IO_DEVICE, ERROR_SEM_TIMEOUT, ERROR_DEVICE_NOT_CONNECTED};
  system_.AddDevice(kPath, [&](const IoctlRequest& request, DWORD&, DWORD& error) -> BOOL {
    if (request.code == IOCTL_STORAGE_QUERY_PROPERTY) {  // the adapter query at open
      error = ERROR_INVALID_FUNCTION;
      return FALSE;
    }
    error = errors[calls++ % 3];
    return FALSE;
  });
  ASSERT_EQ(device_->Open(), kQmOk);
  EXPECT_EQ(Commands().EraseMemory(0, 8), kQmPassThroughFailed);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(device_->LastOsError(), static_cast<std::uint32_t>(ERROR_DEVICE_NOT_CONNECTED));

  // Two failures and then an answer: success, and the stored error is not cleared.
  auto inner = PassThroughUnit(unit_);
  calls = 0;
  system_.AddDevice(kPath, [&](const IoctlRequest& request, DWORD& returned, DWORD& error) -> BOOL {
    if (calls++ < 2) {
      error = ERROR_IO_DEVICE;
      return FALSE;
    }
    return inner(request, returned, error);
  });
  EXPECT_EQ(Commands().EraseMemory(0, 8), kQmOk);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(device_->LastOsError(), static_cast<std::uint32_t>(ERROR_DEVICE_NOT_CONNECTED));
}

TEST_F(WinPassThrough, CheckConditionIsPackedFromTheSenseAreaOfEitherRecord) {
  emu::Faults faults;
  faults.check = emu::CommandKind::kRead;
  faults.check_sense[0] = 0x05;
  faults.check_sense[1] = 0x24;
  faults.check_sense[2] = 0x00;
  unit_->firmware.SetFaults(faults);
  ASSERT_EQ(device_->Open(), kQmOk);

  std::vector<std::uint8_t> buffer(16385, 0xEE);
  EXPECT_EQ(Commands().ReadMemory(0, buffer.data(), 64), kQmCheckCondition);
  EXPECT_EQ(PassThroughs().size(), 1u) << "a check condition is not retried";
  EXPECT_EQ(device_->LastSense(), 0x00052400u);
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == 0xEE; }))
      << "no data is copied back";

  faults.check_sense[0] = 0x03;
  faults.check_sense[1] = 0x0C;
  faults.check_sense[2] = 0x02;
  unit_->firmware.SetFaults(faults);
  EXPECT_EQ(Commands().ReadMemory(0, buffer.data(), 16385), kQmCheckCondition);
  EXPECT_EQ(PassThroughs().back().code, kDirect);
  EXPECT_EQ(device_->LastSense(), 0x00030C02u);
}

TEST_F(WinPassThrough, ADriverReportingMoreThanAskedCannotOverrunTheCallersBuffer) {
  system_.AddDevice(kPath, [](const IoctlRequest& request, DWORD& returned, DWORD&) -> BOOL {
    auto* out = static_cast<std::uint8_t*>(request.out);
    SCSI_PASS_THROUGH header;
    std::memcpy(&header, out, sizeof header);
    header.DataTransferLength = 16384;  // more than the 36 asked for
    std::memset(out + header.DataBufferOffset, 0xAB, request.out_size - header.DataBufferOffset);
    std::memcpy(out, &header, sizeof header);
    returned = request.out_size;
    return TRUE;
  });
  ASSERT_EQ(device_->Open(), kQmOk);
  std::vector<std::uint8_t> buffer(64, 0xEE);
  std::uint32_t length = 36;
  const std::uint8_t inquiry[6] = {0x12, 0, 0, 0, 36, 0};
  ASSERT_EQ(device_->Read(inquiry, 6, buffer.data(), &length, 10), kQmOk);
  EXPECT_EQ(length, 36u);
  EXPECT_EQ(buffer[35], 0xAB);
  EXPECT_EQ(buffer[36], 0xEE);
  EXPECT_EQ(BufferedHeader(PassThroughs()[0]).CdbLength, 6) << "the command's own length";
}

TEST_F(WinPassThrough, ConversationsRunOverTheRecords) {
  emu::Faults faults;
  faults.eeprom_busy = 3;
  unit_->firmware.SetFaults(faults);
  ASSERT_EQ(device_->Open(), kQmOk);

  std::uint8_t manufacturer = 0;
  std::uint8_t type = 0;
  std::uint8_t capacity = 0;
  ASSERT_TRUE(Commands().ReadFlashIdentity(&manufacturer, &type, &capacity));
  EXPECT_EQ(manufacturer, 0x20);
  EXPECT_EQ(type, 0x20);
  EXPECT_EQ(capacity, 0x14);

  const std::size_t before = PassThroughs().size();
  const auto record = Pattern(16, 0x10);
  ASSERT_TRUE(Commands().WriteEeprom16(16, record.data()));
  // One request block, three busy replies, the final reply.
  EXPECT_EQ(PassThroughs().size() - before, 5u);
  EXPECT_EQ(pauses_, 3);
  EXPECT_EQ(BufferedHeader(PassThroughs()[before]).DataTransferLength, 64u);
  EXPECT_EQ(BufferedHeader(PassThroughs()[before + 1]).DataIn, SCSI_IOCTL_DATA_IN);

  std::uint8_t back[16] = {};
  ASSERT_TRUE(Commands().ReadEeprom16(16, back));
  EXPECT_TRUE(std::equal(record.begin(), record.end(), back));
}

// An adapter that demands 512-byte alignment refuses a direct record whose buffer misses it; the
// data then goes through an aligned buffer of the transport's own, both ways.
TEST_F(WinPassThrough, UnalignedBuffersGoThroughAnAlignedCopyAndAlignedOnesStraight) {
  system_.AddDevice(kPath, PassThroughUnit(unit_, FakeAdapter{true, 511, 0x10000}));
  std::iota(unit_->flash.bytes().begin(), unit_->flash.bytes().end(), std::uint8_t{9});
  ASSERT_EQ(device_->Open(), kQmOk);
  const IoctlCall& query = system_.ioctls().at(0);
  EXPECT_EQ(query.code, static_cast<DWORD>(IOCTL_STORAGE_QUERY_PROPERTY));

  constexpr std::uint32_t kCount = 20000;
  std::vector<std::uint8_t> room(kCount + 1024);
  const auto at = reinterpret_cast<std::uintptr_t>(room.data());
  std::uint8_t* aligned = room.data() + ((at + 511) / 512 * 512 - at);
  std::uint8_t* unaligned = aligned + 8;

  ASSERT_EQ(Commands().ReadMemory(0x200, unaligned, kCount), kQmOk);
  EXPECT_TRUE(std::equal(unaligned, unaligned + kCount, unit_->flash.bytes().begin() + 0x200));
  void* sent = DirectHeader(PassThroughs().back()).DataBuffer;
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(sent) % 512, 0u);
  EXPECT_NE(sent, unaligned);

  const auto pattern = Pattern(kCount, 0x41);
  std::copy(pattern.begin(), pattern.end(), unaligned);
  ASSERT_EQ(Commands().EraseMemory(0x10000, 128), kQmOk);
  ASSERT_EQ(Commands().WriteMemory(0x10000, unaligned, kCount), kQmOk);
  EXPECT_TRUE(std::equal(pattern.begin(), pattern.end(), unit_->flash.bytes().begin() + 0x10000));

  ASSERT_EQ(Commands().ReadMemory(0x200, aligned, kCount), kQmOk);
  EXPECT_EQ(DirectHeader(PassThroughs().back()).DataBuffer, aligned) << "an aligned buffer is used in place";
  device_->Close();
}

TEST_F(WinPassThrough, LengthsAboveTheAdaptersLargestTransferFailWithoutACall) {
  system_.AddDevice(kPath, PassThroughUnit(unit_, FakeAdapter{true, 0, 32768}));
  ASSERT_EQ(device_->Open(), kQmOk);
  std::vector<std::uint8_t> buffer(40000);
  EXPECT_EQ(Commands().ReadMemory(0, buffer.data(), 32768), kQmOk);
  const auto calls = PassThroughs().size();
  EXPECT_EQ(Commands().ReadMemory(0, buffer.data(), 32769), kQmPassThroughFailed);
  EXPECT_EQ(device_->LastOsError(), static_cast<std::uint32_t>(ERROR_BAD_LENGTH));
  EXPECT_EQ(PassThroughs().size(), calls);
  device_->Close();
}

TEST_F(WinPassThrough, AFailedOpenKeepsTheSystemsError) {
  system_.RefuseOpen(kPath, ERROR_ACCESS_DENIED);
  EXPECT_EQ(device_->Open(), kQmOpenFailed);
  const auto failure = device_->LastOpenFailure();
  EXPECT_EQ(failure.error, static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(failure.text.empty());
  EXPECT_NE(failure.text.back(), '\n');
  system_.RefuseOpen(kPath, 0);
  ASSERT_EQ(device_->Open(), kQmOk);
  EXPECT_EQ(device_->LastOpenFailure().error, 0u);
  device_->Close();
}

// Another program (here: another device object on another thread) in the middle of an exchange
// keeps the unit; an exchange that cannot have it fails with the busy error, never with the
// other's reply.
TEST_F(WinPassThrough, EachExchangeHoldsTheUnitsNamedMutex) {
  ASSERT_EQ(device_->Open(), kQmOk);
  ASSERT_EQ(system_.mutex_names().size(), 1u);
  EXPECT_EQ(system_.mutex_names()[0],
            "Global\\VelkinUnit-//?/usbstor#cdrom&ven_quamira&prod_voxa_cdrom&rev_1.00#"
            "0123456789ab&0#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}");
  auto* other = new C_QMMassStorageDevice(*static_cast<const C_QMUsbDeviceInfo*>(&device_->DeviceInfo()),
                                          CreatePlatformBackend()->CreateTransport());
  ASSERT_EQ(other->Open(), kQmOk);
  {
    std::lock_guard held(device_->ExchangeLock());
    std::int32_t result = kQmOk;
    std::thread([&] {
      std::uint8_t byte = 0;
      result = VendorCommands(*other, [] {}).ReadMemory(0, &byte, 1);
    }).join();
    EXPECT_EQ(result, kQmPassThroughFailed);
    EXPECT_EQ(other->LastOsError(), static_cast<std::uint32_t>(ERROR_BUSY));
    std::uint8_t byte = 0;
    EXPECT_EQ(Commands().ReadMemory(0, &byte, 1), kQmOk) << "the holder goes on";
  }
  std::uint8_t byte = 0;
  EXPECT_EQ(VendorCommands(*other, [] {}).ReadMemory(0, &byte, 1), kQmOk);
  other->Release();
  device_->Close();
}

}  // namespace
}  // namespace velkin::qm::os::win::test
