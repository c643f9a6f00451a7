// Command lines as a driving program writes them: read from standard input the way the shell
// reads them and dispatched through the command table, every line and every command.
//
// The run is kept to itself: it works in a fresh folder (relative paths land there), the device
// library sees a folder of virtual devices with none plugged in, and QUIT (which ends the
// process) is left out of the table. The console's answers go nowhere.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "console/shell.h"
#include "fuzz/console/scratch_folder.h"

namespace {

std::vector<velkin::console::CommandEntry> TableWithoutQuit() {
  std::vector<velkin::console::CommandEntry> rows;
  for (const auto& row : velkin::console::CommandTable()) {
    if (std::strcmp(row.word, "QUIT") != 0) rows.push_back(row);
  }
  return rows;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string folder = velkin::fuzz::MakeScratchFolder("/tmp/velkin-fuzz-console-XXXXXX");
  const std::filesystem::path root(folder);
  std::filesystem::create_directory(root / "devices");
  setenv("VELKIN_EMULATOR", (root / "devices").c_str(), 1);
  if (chdir(folder.c_str()) != 0) std::abort();
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::vector<velkin::console::CommandEntry> table = TableWithoutQuit();
  std::FILE* in = fmemopen(const_cast<std::uint8_t*>(data), size, "r");
  if (in == nullptr) return 0;
  static char line[velkin::console::kLineBufferSize + 1];
  for (;;) {
    const auto result = velkin::console::ReadCommandLine(in, line);
    if (result == velkin::console::ReadResult::kEndOfInput) break;
    if (result == velkin::console::ReadResult::kLine) velkin::console::DispatchLine(table, line);
  }
  std::fclose(in);
  return 0;
}
