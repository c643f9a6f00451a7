// Host cost of the device library on a virtual device: how long one 4 KiB FLNK_WriteMemory
// takes from call to return. A full-speed USB link moves a 4 KiB block in about 4 ms, so the
// library's own share should stay below 40 us (1%).
#include <benchmark/benchmark.h>
#include <velkin/farlink.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/virtual_devices.h"

namespace {

// The virtual device re-reads its settings at every command while they are fresh (their time
// stamp may be too coarse to show a change); a device that has been plugged in for a while is
// the case to measure.
void AgeSettings(const velkin::test::VirtualDevices& devices, const std::string& name) {
  const auto conf = devices.Folder(name) / "device.conf";
  std::filesystem::last_write_time(conf, std::filesystem::last_write_time(conf) - std::chrono::hours(1));
}

void BM_WriteMemory4KiB(benchmark::State& state) {
  velkin::test::VirtualDevices devices;
  velkin::test::VirtualDeviceSetup setup;
  setup.trace = false;
  devices.Create("bench", setup);
  AgeSettings(devices, "bench");
  if (FLNK_OpenDevice("QUAMIRA", "VOXA CDROM") != 1) {
    state.SkipWithError("no virtual device");
    return;
  }
  std::vector<std::uint8_t> block(4096);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i);
  std::uint32_t address = 0;
  for (auto _ : state) {
    if (FLNK_WriteMemory(address, block.data(), 4096) != 1) {
      state.SkipWithError("write failed");
      break;
    }
    address = (address + 4096) % (1u << 20);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 4096);
  FLNK_CloseDevice();
}
BENCHMARK(BM_WriteMemory4KiB)->Unit(benchmark::kMicrosecond);

void BM_ReadEeprom16(benchmark::State& state) {
  velkin::test::VirtualDevices devices;
  velkin::test::VirtualDeviceSetup setup;
  setup.trace = false;
  devices.Create("bench", setup);
  AgeSettings(devices, "bench");
  if (FLNK_OpenDevice("QUAMIRA", "VOXA CDROM") != 1) {
    state.SkipWithError("no virtual device");
    return;
  }
  std::uint8_t record[16];
  for (auto _ : state) benchmark::DoNotOptimize(FLNK_ReadEEPROM_16Byte(16, record));
  FLNK_CloseDevice();
}
BENCHMARK(BM_ReadEeprom16)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
