// program and verify: an image onto units, or compared with what they hold.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/programming/records.h"
#include "tools/velkin/command_table.h"
#include "tools/velkin/help_text.h"
#include "tools/velkin/image_file.h"
#include "tools/velkin/os/platform.h"
#include "tools/velkin/sha256.h"
#include "tools/velkin/unit_runs.h"

namespace velkin::cli {
namespace {

using nlohmann::json;
using programming::JobKind;
using programming::Record;

struct TrayArgs {
  std::string image;
  std::vector<std::string> units;
  bool all = false;
};

void AddTrayOptions(CLI::App& command, TrayArgs& args) {
  command.add_option("IMAGE", args.image, "The image file (a code file or a built set)")->required()->type_name("FILE");
  auto* unit = command.add_option("--unit", args.units, "A unit by its name (see velkin devices); repeatable")
                   ->allow_extra_args(false)
                   ->type_name("NAME");
  command.add_flag("--all", args.all, "Every unit that carries the texts")->excludes(unit);
}

// Either --unit or --all: a tray is never chosen by default.
void RequireUnits(const TrayArgs& args) {
  if (args.units.empty() && !args.all) throw CLI::RequiredError("--unit NAME or --all");
}

std::string UtcNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  // Only the main thread formats times.
  const std::tm* utc = std::gmtime(&seconds);
  char text[40] = "";
  if (utc != nullptr) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", utc);
  char out[48];
  std::snprintf(out, sizeof out, "%s.%03dZ", text, static_cast<int>(ms));
  return out;
}

struct ProgramArgs {
  TrayArgs tray;
  std::string record_text;
  std::string serial_text;
  bool no_verify = false;
  std::string log;
};

int Program(const Session& session, const ProgramArgs& args) {
  std::string error;
  const auto image = ReadImage(args.tray.image, &error);
  if (!image) {
    session.Error(SafeText(args.tray.image) + ": " + error);
    return kExitUsage;
  }
  Record prefix{};
  if (!args.record_text.empty()) programming::ParseRecord(args.record_text, &prefix);
  const std::optional<std::uint32_t> serial = args.serial_text.empty() ? std::nullopt : ParseNumber(args.serial_text);
  if (!args.log.empty() && !os::AppendDurably(args.log, "", &error)) {
    session.Error(SafeText(args.log) + ": cannot write the log: " + error);
    return kExitUsage;
  }

  const auto units = ChooseUnits(session, args.tray.units, args.tray.all);
  if (units.empty()) return kExitFailed;
  if (serial && units.size() - 1 > 0xFFFFFFFFu - *serial) {
    session.Error("--serial " + args.serial_text + ": the tray's numbers would pass 4294967295");
    return kExitUsage;
  }
  std::vector<programming::TrayUnit> tray;
  std::vector<std::optional<Record>> records;
  for (std::size_t i = 0; i < units.size(); ++i) {
    programming::JobRequest request;
    request.kind = JobKind::kProgram;
    request.image = image;
    request.verify = !args.no_verify;
    if (serial) {
      request.record = programming::SerialRecord(prefix, *serial + static_cast<std::uint32_t>(i));
    } else if (!args.record_text.empty()) {
      request.record = prefix;
    }
    records.push_back(request.record);
    tray.push_back({units[i].name, request});
  }

  const std::string sha256 = Sha256::Hex(image->data(), image->size());
  UnitRunOptions options;
  options.command = "program";
  options.file = args.tray.image;
  options.extras = [&](std::size_t index, const programming::TrayResult&, json& object,
                       std::vector<std::string>& lines) {
    object["image_sha256"] = sha256;
    if (records[index]) object["record"] = programming::RecordText(*records[index]);
    if (serial) {
      object["serial"] = *serial + static_cast<std::uint32_t>(index);
      if (!lines.empty()) lines.back() += "; serial " + std::to_string(*serial + index);
    }
    return true;
  };
  if (!args.log.empty()) {
    options.log = [&](std::size_t index, const json& result, std::string* log_error) {
      const auto& job_step = result["step"];
      const bool record_written = records[index] && (result["ok"].get<bool>() || job_step == "verify");
      json line = {{"time", UtcNow()},
                   {"command", "program"},
                   {"unit", result["unit"]},
                   {"identity", result["identity"]},
                   {"flash_id", result["identity"]["flash_id"]},
                   {"image", args.tray.image},
                   {"image_bytes", image->size()},
                   {"image_sha256", sha256},
                   {"record", records[index] ? json(programming::RecordText(*records[index])) : json(nullptr)},
                   {"record_written", record_written},
                   {"result", result["result"]},
                   {"ok", result["ok"]},
                   {"failure", result["failure"]},
                   {"step", result["step"]},
                   {"address", result["address"]},
                   {"message", result["message"]},
                   {"half_written", result["half_written"]},
                   {"times_ms", result["times_ms"]}};
      if (serial) line["serial"] = *serial + static_cast<std::uint32_t>(index);
      return os::AppendDurably(args.log, line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n",
                               log_error);
    };
  }
  return RunOnUnits(session, std::move(tray), options);
}

int Verify(const Session& session, const TrayArgs& args) {
  std::string error;
  const auto image = ReadImage(args.image, &error);
  if (!image) {
    session.Error(SafeText(args.image) + ": " + error);
    return kExitUsage;
  }
  const auto units = ChooseUnits(session, args.units, args.all);
  if (units.empty()) return kExitFailed;
  std::vector<programming::TrayUnit> tray;
  for (const auto& unit : units) {
    programming::JobRequest request;
    request.kind = JobKind::kVerify;
    request.image = image;
    tray.push_back({unit.name, request});
  }
  UnitRunOptions options;
  options.command = "verify";
  options.file = args.image;
  return RunOnUnits(session, std::move(tray), options);
}

}  // namespace

void AddProgramCommands(CLI::App& app, Session& session) {
  auto args = std::make_shared<ProgramArgs>();
  CLI::App* program = app.add_subcommand(
      "program",
      "Erase each unit's whole flash, write the image, write the EEPROM record, read everything back and compare; "
      "all units in parallel, one progress bar each");
  AddTrayOptions(*program, args->tray);
  program->add_option("--record", args->record_text, "The 16-byte record for EEPROM address 16 (32 hex digits)")
      ->check(RecordCheck())
      ->type_name("HEX");
  program->add_option("--serial", args->serial_text, "A record with a serial number per unit, from START")
      ->check(NumberCheck())
      ->type_name("START");
  program->add_flag("--no-verify", args->no_verify, "Do not read back: the result is \"written, not verified\"");
  program->add_option("--log", args->log, "Append one JSON line per unit to FILE, on the disk as each unit ends")
      ->type_name("FILE");
  program->footer(std::string(kSerialText) + "\n\n" + kLogText);
  AddCommonOptions(*program, session);
  program->callback([args, &session] {
    RequireUnits(args->tray);
    session.run = [args, &session] { return Program(session, *args); };
  });

  auto verify_args = std::make_shared<TrayArgs>();
  CLI::App* verify = app.add_subcommand("verify", "Compare what the units' flash holds with the image");
  AddTrayOptions(*verify, *verify_args);
  AddCommonOptions(*verify, session);
  verify->callback([verify_args, &session] {
    RequireUnits(*verify_args);
    session.run = [verify_args, &session] { return Verify(session, *verify_args); };
  });
}

}  // namespace velkin::cli
