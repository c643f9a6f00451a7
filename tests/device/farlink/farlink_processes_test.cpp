// Two programs on one unit: a real unit keeps one pending reply for every host, and so do
// virtual devices. Each program's exchanges (a request and its replies) must stay whole.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <velkin/farlink.h>

#include "emulator/device_folder.h"
#include "emulator/file_lock.h"
#include "exchange_worker.h"
#include "tests/support/child_process.h"
#include "tests/support/program_paths.h"
#include "tests/support/virtual_devices.h"

namespace velkin::test {
namespace {

std::unique_ptr<ChildProcess> StartWorker(const std::vector<std::string>& args) {
  auto worker = ChildProcess::Start(ProgramPath("farlink_exchange_worker"), args);
  EXPECT_NE(worker, nullptr);
  return worker;
}

// The one line a worker prints, after it has ended.
std::string WorkerResult(ChildProcess& worker, std::chrono::seconds timeout = std::chrono::seconds(60)) {
  const auto lines = worker.ReadAllLines(timeout);
  EXPECT_EQ(worker.Wait(), 0);
  return lines.empty() ? std::string() : lines.front();
}

TEST(FarlinkProcesses, ARequestOfOneProgramIsAnsweredToTheReplyReadOfTheNext) {
  VirtualDevices devices;
  VirtualDeviceSetup setup;
  setup.trace = false;
  setup.flash_id[0] = 0xC2;
  devices.Create("dev", setup);
  auto request = StartWorker({"request"});
  ASSERT_EQ(WorkerResult(*request), "sent");
  auto reply = StartWorker({"reply"});
  EXPECT_EQ(WorkerResult(*reply), "20 c2 20 14");
}

TEST(FarlinkProcesses, TwoProgramsUnderLoadEachGetTheirOwnEepromReplies) {
  VirtualDevices devices;
  VirtualDeviceSetup setup;
  setup.trace = false;
  // Busy replies stretch every EEPROM conversation over several commands and two pauses, so the
  // other program's request would land inside it if nothing kept it out.
  setup.settings = {{"eeprom_busy", "2"}};
  devices.Create("dev", setup);
  std::vector<std::uint8_t> eeprom(256);
  for (std::uint32_t a = 0; a < eeprom.size(); ++a) eeprom[a] = EepromByte(a);
  devices.WriteEeprom("dev", 0, eeprom);

  auto first = StartWorker({"eeprom16", "0", "60"});
  auto second = StartWorker({"eeprom16", "128", "60"});
  ASSERT_TRUE(first && second);
  EXPECT_EQ(WorkerResult(*first), "rounds 60 failures 0 wrong 0");
  EXPECT_EQ(WorkerResult(*second), "rounds 60 failures 0 wrong 0");
}

TEST(FarlinkProcesses, AUnitHeldByAnotherProgramPastTheWaitFailsItsExchangesAndServesThemAfterwards) {
  VirtualDevices devices;
  VirtualDeviceSetup setup;
  devices.Create("dev", setup);
  devices.WriteEeprom("dev", 0, {0x5A, 0x17});
  ASSERT_EQ(FLNK_OpenDevice("QUAMIRA", "VOXA CDROM"), 1);

  // Another program in the middle of a long exchange.
  emu::FileLock other((devices.Folder("dev") / emu::kExchangeLockFile).string());
  ASSERT_TRUE(other.Lock(std::chrono::seconds(1)));
  const auto commands_before = devices.Trace("dev").size();
  std::uint8_t value = 0;
  EXPECT_EQ(FLNK_ReadEEPROM_1Byte(1, &value), 0);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(devices.Trace("dev").size(), commands_before) << "no command may reach a unit held by another program";

  other.Unlock();
  EXPECT_EQ(FLNK_ReadEEPROM_1Byte(1, &value), 1);
  EXPECT_EQ(value, 0x17);
  FLNK_CloseDevice();
}

}  // namespace
}  // namespace velkin::test
