#include "download.h"

#include <velkin/farlink.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/os/image_file.h"
#include "device/qmlib/vendor_command_set.h"
#include "device_commands.h"
#include "output.h"
#include "shell.h"

namespace velkin::console {

namespace {

constexpr std::int32_t kBlockSize = qm::kFlashWriteBlockSize;
constexpr std::int32_t kLargeSectorSize = qm::kFlashSectorSize;
constexpr std::int32_t kLargeEraseCode = qm::kSectorEraseCode;
constexpr std::int32_t kSmallEraseCode = qm::kSmallSectorEraseCode;

// Converts like atoi (leading blanks and a sign allowed, stops at the first non-digit), but
// reports whether the text held a positive number that fits in 32 bits: a size of 0 would
// divide by zero and a negative one makes the sector count meaningless.
bool ParseSize(const char* text, std::int32_t* value) {
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text, &end, 10);
  *value = v > INT_MAX ? INT_MAX : (v < INT_MIN ? INT_MIN : static_cast<std::int32_t>(v));
  return end != text && errno == 0 && v > 0 && v <= INT_MAX;
}

// Percentage as (done / total) * 100 in double precision, truncated: with a total of 100 the
// index 29 shows 28, as the device's driving programs expect.
int Percent(std::int64_t done, std::int64_t total) {
  return static_cast<int>(static_cast<double>(done) / static_cast<double>(total) * 100.0);
}

}  // namespace

int EraseFlash(std::int32_t count, std::int32_t sector_size) {
  const std::int32_t code = sector_size >= kLargeSectorSize ? kLargeEraseCode : kSmallEraseCode;
  std::uint32_t address = 0;
  int result = 0;
  for (std::uint32_t i = 0; i < static_cast<std::uint32_t>(count); ++i) {
    result = FLNK_EraseMemory(address, code);
    if (result == 0) break;
    address += static_cast<std::uint32_t>(sector_size);
    std::printf("%s%s:%d\n", kInfo, "ERASE", Percent(i, count));
    std::fflush(stdout);
  }
  std::printf("%s%s:100\n", kInfo, "ERASE");
  std::fflush(stdout);
  return result;
}

int WriteFlashImage(const char* path) {
  const std::int64_t size64 = ImageFile::Size(path);
  // The size is a signed 32-bit count; an image that does not fit the flash address space of
  // 32 bits is refused below as unreadable rather than written in part.
  const std::int32_t size = size64 > INT_MAX ? -1 : static_cast<std::int32_t>(size64);
  const std::int32_t blocks = size > 0 ? size / kBlockSize + (size % kBlockSize != 0 ? 1 : 0) : 0;
  auto file = ImageFile::Open(path);
  std::printf("%s%s:open %s size %d hFile=%ld[%d]\n", kInfo, "WRITE", path, size, file->Handle(), -1);
  if (file->Handle() == -1) {
    std::printf("%s%s:hFile=%ld, error=%ld\n", kInfo, "WRITE", file->Handle(), file->OpenError());
    std::fflush(stdout);
    return 0;
  }
  static std::uint8_t buffer[kBlockSize];
  std::uint32_t address = 0;
  std::int32_t remaining = size > 0 ? size : 0;
  std::int32_t written = 0;
  int result = 0;
  while (remaining > 0) {
    const std::int32_t length = remaining < kBlockSize ? remaining : kBlockSize;
    // A block that cannot be read whole is a failed write: stale buffer bytes never reach the
    // flash.
    if (!file->ReadExactly(buffer, static_cast<std::size_t>(length))) {
      result = 0;
      break;
    }
    result = FLNK_WriteMemory(address, buffer, static_cast<std::uint32_t>(length));
    if (result == 0) break;
    ++written;
    address += static_cast<std::uint32_t>(length);
    remaining -= length;
    std::printf("%s%s:%d\n", kInfo, "WRITE", Percent(written, blocks));
    std::fflush(stdout);
  }
  return result;
}

void DownloadCommand(const char* line) {
  char path[4096];
  char flash_text[1024];
  char sector_text[1024];
  ArgReader args(line);
  const bool have_sizes = args.Next(path) && args.Next(flash_text) && args.Next(sector_text);
  // Sizes must be positive numbers and a 32-digit record must be hexadecimal: otherwise nothing
  // is erased or written. A fourth argument of another length is passed over.
  std::int32_t flash_size = 0;
  std::int32_t sector_size = 0;
  bool ok = have_sizes && args.AllFit();
  if (ok) {
    const bool flash_ok = ParseSize(flash_text, &flash_size);
    const bool sector_ok = ParseSize(sector_text, &sector_size);
    ok = flash_ok && sector_ok;
  }
  QuotedArg record_arg;
  std::uint8_t record[16] = {};
  const RecordArg record_kind =
      ok && args.Next(&record_arg) ? ParseRecordArg(record_arg, record) : RecordArg::kOtherLength;
  if (!ok || record_kind == RecordArg::kNotHex) {
    std::printf("%sDOWNLOAD:bad parameter\n", kFailure);
    return;
  }
  const bool have_record = record_kind == RecordArg::kRecord;
  std::printf("%sDOWNLOAD:file %s\n", kInfo, path);
  std::printf("%sDOWNLOAD:flash size %s %x\n", kInfo, flash_text, static_cast<unsigned>(flash_size));
  std::printf("%sDOWNLOAD:sector size %s %x\n", kInfo, sector_text, static_cast<unsigned>(sector_size));
  const std::int32_t count = flash_size / sector_size;
  std::fflush(stdout);
  if (EraseFlash(count, sector_size) == 0) {
    std::printf("%sDOWNLOAD:memory erase failure\n", kFailure);
    return;
  }
  if (WriteFlashImage(path) == 0) {
    std::printf("%sDOWNLOAD:memory write failure\n", kFailure);
    return;
  }
  if (have_record) {
    if (FLNK_WriteEEPROM_16Byte(kRecordAddress, record) != 0) {
      std::printf("%sWRITEEEPROM:%s\n", kSuccess, FormatHex16(record).c_str());
    } else {
      std::printf("%sWRITEEEPROM:Error\n", kFailure);
    }
  }
  std::printf("%sDOWNLOAD:write Ok\n", kSuccess);
}

}  // namespace velkin::console
