#include "command_table.h"

namespace velkin::cli {
namespace {

// In the order --help lists them.
constexpr CommandGroup kGroups[] = {
    {"devices", AddDevicesCommand},
    {"program", AddProgramCommands},
    {"read", AddUnitCommands},
    {"build", AddSetCommands},
};

}  // namespace

std::span<const CommandGroup> CommandGroups() {
  return kGroups;
}

}  // namespace velkin::cli
