// The commands, a group per file, registered in one table: adding a command is adding its file and
// a line to the table. Each group adds its subcommands to the application, with their options and
// a callback that sets the session's work once the arguments parsed.
#pragma once

#include <span>

#include <CLI/CLI.hpp>

#include "tools/velkin/session.h"

namespace velkin::cli {

struct CommandGroup {
  const char* name;
  void (*add)(CLI::App& app, Session& session);
};

std::span<const CommandGroup> CommandGroups();

// The groups (one file each).
void AddDevicesCommand(CLI::App& app, Session& session);   // devices
void AddProgramCommands(CLI::App& app, Session& session);  // program, verify
void AddUnitCommands(CLI::App& app, Session& session);     // read, erase, eeprom
void AddInfoCommand(CLI::App& app, Session& session);      // info
void AddEncodeCommand(CLI::App& app, Session& session);    // encode
void AddWaveCommands(CLI::App& app, Session& session);     // convert, decode
void AddSetCommands(CLI::App& app, Session& session);      // build, fit

}  // namespace velkin::cli
