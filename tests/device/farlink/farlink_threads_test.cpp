// The console calls the exports from two threads: its command loop (a download) and its
// hot-plug thread (connection checks and EEPROM reads). Each exchange must get its own replies.
#include <gtest/gtest.h>
#include <velkin/farlink.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "tests/support/virtual_devices.h"

namespace velkin::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Pattern(std::size_t size, std::uint8_t seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 13);
  return bytes;
}

TEST(FarlinkThreads, DownloadAndChecksOnTwoThreadsEachGetTheirOwnReplies) {
  VirtualDevices devices;
  VirtualDeviceSetup setup;
  setup.trace = false;
  // Busy replies stretch every EEPROM conversation over several commands, so that an exchange
  // from the other thread would land inside it if the library let it.
  setup.settings = {{"eeprom_busy", "2"}};
  devices.Create("dev", setup);
  const Bytes record0 = Pattern(16, 0x30);
  const Bytes record16 = Pattern(16, 0x90);
  devices.WriteEeprom("dev", 0, record0);
  devices.WriteEeprom("dev", 16, record16);
  ASSERT_EQ(FLNK_OpenDevice("QUAMIRA", "VOXA CDROM"), 1);

  std::atomic<bool> done{false};
  std::atomic<int> monitor_failures{0};
  std::atomic<int> monitor_rounds{0};
  std::thread monitor([&] {
    while (!done) {
      if (FLNK_IsDeviceConnect() != 1) ++monitor_failures;
      Bytes record(16, 0);
      if (FLNK_ReadEEPROM_16Byte(16, record.data()) != 1 || record != record16) ++monitor_failures;
      std::uint8_t m = 0, t = 0, c = 0;
      if (FLNK_ReadSpiFlashInfo(&m, &t, &c) != 1 || c != 0x14) ++monitor_failures;
      ++monitor_rounds;
    }
  });

  // The download: erase 4 KiB sectors, write 4 KiB blocks, and read the other EEPROM record now
  // and then, as the console does after an open.
  const Bytes image = Pattern(64 * 1024, 0x01);
  int download_failures = 0;
  for (std::uint32_t address = 0; address < image.size(); address += 4096) {
    if (FLNK_EraseMemory(address, 8) != 1) ++download_failures;
  }
  for (std::uint32_t address = 0; address < image.size(); address += 4096) {
    if (FLNK_WriteMemory(address, image.data() + address, 4096) != 1) ++download_failures;
    Bytes record(16, 0);
    if (FLNK_ReadEEPROM_16Byte(0, record.data()) != 1 || record != record0) ++download_failures;
  }
  while (monitor_rounds < 5) std::this_thread::yield();
  done = true;
  monitor.join();

  EXPECT_EQ(download_failures, 0);
  EXPECT_EQ(monitor_failures, 0);
  const Bytes flash = devices.Flash("dev");
  EXPECT_EQ(Bytes(flash.begin(), flash.begin() + static_cast<std::ptrdiff_t>(image.size())), image);
  FLNK_CloseDevice();
}

TEST(FarlinkThreads, CloseOnOneThreadWhileTheOtherWrites) {
  // A connection check that forgets the device may run while the other thread is in the middle
  // of a command: the command finishes or fails, but nothing is used after it was released.
  VirtualDevices devices;
  VirtualDeviceSetup setup;
  setup.trace = false;
  devices.Create("dev", setup);
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(FLNK_OpenDevice("QUAMIRA", "VOXA CDROM"), 1);
    std::thread writer([] {
      const Bytes block(4096, 0x00);
      for (int i = 0; i < 20; ++i) FLNK_WriteMemory(0, block.data(), 4096);
    });
    FLNK_CloseDevice();
    writer.join();
  }
}

}  // namespace
}  // namespace velkin::test
