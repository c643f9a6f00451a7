#include "command_table.h"

namespace velkin::cli {
namespace {

// In the order --help lists them; a line each.
// clang-format off
constexpr CommandGroup kGroups[] = {
    {"devices", AddDevicesCommand},
    {"program", AddProgramCommands},
    {"read", AddUnitCommands},
    {"info", AddInfoCommand},
    {"encode", AddEncodeCommand},
    {"convert", AddWaveCommands},
    {"build", AddSetCommands},
};
// clang-format on

}  // namespace

std::span<const CommandGroup> CommandGroups() {
  return kGroups;
}

}  // namespace velkin::cli
