// Is the tray truly parallel? `velkin program --all` on four virtual units that answer like
// full-speed USB units (1 ms per command, 1 us per byte), against `velkin program` on one of them
// alone. Prints both times and their ratio; the target is a ratio under 1.1.
// Run from the build's bin folder: bench_velkin_tray [repeats]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/program_paths.h"
#include "tests/support/temp_dir.h"
#include "tests/support/virtual_devices.h"

namespace {

using namespace velkin::test;
using Clock = std::chrono::steady_clock;

// A virtual unit re-reads its settings at every command while they are fresh; a unit plugged in
// for a while is the case to measure.
void AgeSettings(const VirtualDevices& devices, const std::string& name) {
  const auto conf = devices.Folder(name) / "device.conf";
  std::filesystem::last_write_time(conf, std::filesystem::last_write_time(conf) - std::chrono::hours(1));
}

// Seconds for one run of velkin with these arguments; negative when it failed.
double Time(const VirtualDevices& devices, const std::vector<std::string>& args) {
  const auto start = Clock::now();
  auto child = ChildProcess::Start(ProgramPath("velkin"), args, {{"VELKIN_EMULATOR", devices.root().string()}});
  if (!child) return -1;
  child->CloseInput();
  child->ReadAllLines(std::chrono::minutes(5));
  const int status = child->Wait(std::chrono::minutes(5));
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return status == 0 ? seconds : -1;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  VirtualDevices devices;
  const char* names[] = {"u1", "u2", "u3", "u4"};
  for (const char* name : names) {
    VirtualDeviceSetup setup;
    setup.trace = false;
    setup.settings = {{"command_us", "1000"}, {"byte_ns", "1000"}};
    devices.Create(name, setup);
    AgeSettings(devices, name);
  }
  // 256 KiB: sixteen erases, then 64 blocks written and 64 read back, about 0.7 s on one unit.
  TempDir files;
  const std::string image = files.File("image.bin");
  {
    std::ofstream out(image, std::ios::binary);
    for (int i = 0; i < 256 * 1024; ++i) out.put(static_cast<char>(i * 31 + (i >> 9)));
  }
  std::string one;
  {
    auto child = ChildProcess::Start(ProgramPath("velkin"), {"devices", "--json"},
                                     {{"VELKIN_EMULATOR", devices.root().string()}});
    child->CloseInput();
    for (const auto& line : child->ReadAllLines()) {
      const auto at = line.find("\"name\":\"u1@");
      if (at != std::string::npos) one = line.substr(at + 8, line.find('"', at + 8) - at - 8);
    }
  }
  if (one.empty()) {
    std::fprintf(stderr, "no virtual unit u1\n");
    return 1;
  }
  std::vector<double> alone, tray;
  for (int r = 0; r < repeats; ++r) {
    alone.push_back(Time(devices, {"program", image, "--unit", one}));
    tray.push_back(Time(devices, {"program", image, "--all"}));
    if (alone.back() < 0 || tray.back() < 0) {
      std::fprintf(stderr, "velkin program failed\n");
      return 1;
    }
  }
  const double a = Median(alone);
  const double t = Median(tray);
  std::printf("velkin program, 256 KiB image, units answering as full-speed USB (1 ms/command, 1 us/byte)\n");
  std::printf("  one unit alone:      %.3f s\n", a);
  std::printf("  tray of four units:  %.3f s\n", t);
  std::printf("  ratio tray / alone:  %.3f (target < 1.1)\n", t / a);
  return 0;
}
