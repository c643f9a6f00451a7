// Running one job on one or several units for a command: choosing the units, the tray with its
// progress bars, Ctrl-C, each unit's result as it ends (text or JSON, and the log line), and the
// exit status.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "device/programming/tray.h"
#include "tools/velkin/session.h"

namespace velkin::cli {

// The units a command works on: the named ones (each once), or with `all` every unit that
// carries the texts; in the tray's stable order (hub, port, name). A named unit that is not there
// is kept: its job reports it missing. Empty (with a message said) when `all` finds none.
std::vector<programming::UnitIdentity> ChooseUnits(const Session& session, const std::vector<std::string>& names,
                                                   bool all);

// What the result of unit `index` (of the units given) adds for its command: fields of its JSON object and lines of its
// text. Called on the main thread as each unit ends; false turns a done unit into a failed one (a file that could not
// be written).
using ResultExtras = std::function<bool(std::size_t index, const programming::TrayResult& result,
                                        nlohmann::json& object, std::vector<std::string>& lines)>;

struct UnitRunOptions {
  std::string command;  // "program", "verify", ...
  std::string file;     // the image or output file named in messages, if any
  ResultExtras extras;  // optional
  // Writes the log line of unit `index` (of the units given), given its JSON result; it is on the
  // disk before the unit is reported. Empty: no log.
  std::function<bool(std::size_t index, const nlohmann::json& result, std::string* error)> log;
};

// Runs the tray and reports every unit. kExitDone when every unit succeeded, kExitFailed when
// any failed, kExitInterrupted after Ctrl-C stopped the work.
int RunOnUnits(const Session& session, std::vector<programming::TrayUnit> units, const UnitRunOptions& options);

// A unit's identity as JSON: name, texts, USB identifiers, hub and port, flash and records.
nlohmann::json IdentityJson(const programming::UnitIdentity& identity);

}  // namespace velkin::cli
