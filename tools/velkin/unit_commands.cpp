// read, erase and eeprom: one unit each, named.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/programming/records.h"
#include "tools/velkin/command_table.h"
#include "tools/velkin/image_file.h"
#include "tools/velkin/unit_runs.h"

namespace velkin::cli {
namespace {

using nlohmann::json;
using programming::JobKind;

struct UnitArgs {
  std::string unit;
  std::string output;
  std::string length;
  std::string write;
};

void AddUnitOption(CLI::App& command, UnitArgs& args) {
  command.add_option("--unit", args.unit, "The unit, by its name (see velkin devices)")->required()->type_name("NAME");
}

programming::TrayUnit OneUnit(const UnitArgs& args, JobKind kind) {
  programming::TrayUnit unit{args.unit, {}};
  unit.request.kind = kind;
  return unit;
}

int Read(const Session& session, const UnitArgs& args) {
  // The file is made before the unit is touched, so that a path that cannot be written is said
  // at once; it is removed again when the read fails.
  std::FILE* file = std::fopen(args.output.c_str(), "wb");
  if (file == nullptr) {
    session.Error(SafeText(args.output) + ": " + std::strerror(errno));
    return kExitUsage;
  }
  std::vector<programming::TrayUnit> units{OneUnit(args, JobKind::kRead)};
  if (!args.length.empty()) units[0].request.length = ParseNumber(args.length);
  UnitRunOptions options;
  options.command = "read";
  options.file = args.output;
  bool written = false;
  options.extras = [&](std::size_t, const programming::TrayResult& result, json& object,
                       std::vector<std::string>& lines) {
    if (!result.job.ok()) return false;
    const auto& data = result.job.data;
    written = std::fwrite(data.data(), 1, data.size(), file) == data.size();
    written = std::fclose(file) == 0 && written;
    file = nullptr;
    if (written) return true;
    const std::string why = "the file cannot be written: " + std::string(std::strerror(errno));
    object["result"] = "failed";
    object["failure"] = programming::FailureName(programming::Failure::kFileError);
    object["message"] = why;
    lines = {SafeText(result.name, 40) + ": failed (" + SafeText(args.output) + "): " + why};
    return false;
  };
  const int status = RunOnUnits(session, std::move(units), options);
  if (file != nullptr) std::fclose(file);
  if (!written) std::remove(args.output.c_str());
  return status;
}

int Erase(const Session& session, const UnitArgs& args) {
  UnitRunOptions options;
  options.command = "erase";
  return RunOnUnits(session, {OneUnit(args, JobKind::kErase)}, options);
}

int Eeprom(const Session& session, const UnitArgs& args) {
  programming::TrayUnit unit = OneUnit(args, args.write.empty() ? JobKind::kEepromRead : JobKind::kEepromWrite);
  if (!args.write.empty()) {
    programming::Record record{};
    programming::ParseRecord(args.write, &record);
    unit.request.record = record;
  }
  UnitRunOptions options;
  options.command = "eeprom";
  options.extras = [](std::size_t, const programming::TrayResult& result, json& object,
                      std::vector<std::string>& lines) {
    if (!result.job.ok()) return false;
    const auto text = [](const std::optional<programming::Record>& r) {
      return r ? programming::RecordText(*r) : std::string();
    };
    object["eeprom_product"] = text(result.job.product_record);
    object["eeprom_record"] = text(result.job.record);
    lines.push_back("  product record (EEPROM 0): " + text(result.job.product_record));
    lines.push_back("  record (EEPROM 16):        " + text(result.job.record));
    return true;
  };
  return RunOnUnits(session, {unit}, options);
}

}  // namespace

void AddUnitCommands(CLI::App& app, Session& session) {
  auto read_args = std::make_shared<UnitArgs>();
  CLI::App* read = app.add_subcommand("read", "Read a unit's flash into a file");
  AddUnitOption(*read, *read_args);
  read->add_option("-o,--output", read_args->output, "The file to write")->required()->type_name("FILE");
  read->add_option("--length", read_args->length, "Read only this many bytes from address 0 (default: the whole flash)")
      ->check(NumberCheck(1))
      ->type_name("N");
  AddCommonOptions(*read, session);
  read->callback([read_args, &session] { session.run = [read_args, &session] { return Read(session, *read_args); }; });

  auto erase_args = std::make_shared<UnitArgs>();
  CLI::App* erase = app.add_subcommand("erase", "Erase a unit's whole flash, sector by sector");
  AddUnitOption(*erase, *erase_args);
  AddCommonOptions(*erase, session);
  erase->callback(
      [erase_args, &session] { session.run = [erase_args, &session] { return Erase(session, *erase_args); }; });

  auto eeprom_args = std::make_shared<UnitArgs>();
  CLI::App* eeprom = app.add_subcommand(
      "eeprom", "Show a unit's two EEPROM records; with --write, write the record at address 16 first");
  AddUnitOption(*eeprom, *eeprom_args);
  eeprom->add_option("--write", eeprom_args->write, "The 16-byte record for EEPROM address 16 (32 hex digits)")
      ->check(RecordCheck())
      ->type_name("HEX");
  AddCommonOptions(*eeprom, session);
  eeprom->callback(
      [eeprom_args, &session] { session.run = [eeprom_args, &session] { return Eeprom(session, *eeprom_args); }; });
}

}  // namespace velkin::cli
