// build and fit: a sound set made into one image, and the image's settings chosen to fit a flash.
// The work is the sets library's; this file reads the arguments, finds the unit's flash, draws
// the progress and says the results.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/programming/unit.h"
#include "sets/build.h"
#include "sets/report_json.h"
#include "tools/velkin/command_table.h"
#include "tools/velkin/help_text.h"
#include "tools/velkin/image_file.h"
#include "tools/velkin/os/platform.h"

namespace velkin::cli {
namespace {

using nlohmann::json;

struct SetArgs {
  std::string set;
  std::string image;
  std::string flash;
  std::string unit;
};

std::string Fixed(double value, int digits) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", digits, value);
  return text;
}

// `text` right-aligned in `width` columns.
std::string Right(const std::string& text, std::size_t width) {
  return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

std::string Left(const std::string& text, std::size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

// One line on standard error, redrawn in place, while a person watches.
class StepLine {
 public:
  explicit StepLine(bool enabled) : active_(enabled && os::IsTerminal(stderr)) {}
  ~StepLine() { Clear(); }
  StepLine(const StepLine&) = delete;
  StepLine& operator=(const StepLine&) = delete;

  void Show(const sets::Progress& p) {
    if (!active_) return;
    const int percent = static_cast<int>(p.fraction * 100.0);
    const std::string text = std::string(p.fit ? "fit: " : "") + sets::StepName(p.step) + " " +
                             std::to_string(percent) + "% " + SafeText(p.detail, 50);
    if (text == shown_) return;
    std::fprintf(stderr, "\r%-78s", text.c_str());
    std::fflush(stderr);
    shown_ = text;
  }
  void Clear() {
    if (!active_ || shown_.empty()) return;
    std::fprintf(stderr, "\r%78s\r", "");
    std::fflush(stderr);
    shown_.clear();
  }

 private:
  bool active_;
  std::string shown_;
};

int StatusOf(sets::Failure failure) {
  switch (failure) {
    case sets::Failure::kNone:
      return kExitDone;
    case sets::Failure::kInput:
      return kExitUsage;
    case sets::Failure::kStopped:
      return kExitInterrupted;
    case sets::Failure::kDoesNotFit:
    case sets::Failure::kImage:
    case sets::Failure::kOutput:
      return kExitFailed;
  }
  return kExitFailed;
}

void SayDiagnostics(const Session& session, const sets::Diagnostics& diagnostics) {
  for (const auto& d : diagnostics.All()) session.Error(SafeText(d.Format(), 400));
}

// The request from the options: --flash, or --unit's flash size read from the unit. False (with
// the reason in `diagnostics`) when the unit cannot be asked or its flash size is not known.
bool MakeRequest(const Session& session, const SetArgs& args, sets::BuildRequest& request,
                 sets::Diagnostics& diagnostics) {
  if (!args.flash.empty()) request.capacity = ParseNumber(args.flash);
  if (!args.unit.empty()) {
    request.unitName = args.unit;
    auto opened = programming::OpenUnit(session.Texts(), args.unit);
    if (!opened.unit) {
      diagnostics.Error("", 0, SafeText(args.unit, 40) + ": " + SafeText(opened.error));
      return false;
    }
    // A unit named on the command line is the capacity, whatever the set says.
    const std::uint32_t flash = opened.unit->Identity().flash_size;
    if (flash == 0) {
      diagnostics.Error("", 0,
                        SafeText(args.unit, 40) +
                            ": the size of its flash is not known (its flash identity names no "
                            "chip of 64 KiB to 128 MiB): give it with --flash BYTES");
      return false;
    }
    request.capacity = flash;
  }
  return true;
}

std::vector<std::string> FitLines(const sets::FitResult& fit, const sets::SetFile& set) {
  std::vector<std::string> lines;
  lines.push_back("fit " + SafeText(set.Name()) + ": " + std::to_string(fit.candidates.size()) +
                  " candidates for a capacity of " + std::to_string(fit.capacity) + " bytes (" + Fixed(fit.seconds, 2) +
                  " s of sound)");
  lines.push_back("  encoder  rate Hz  threshold      bytes  fits  score dB  worst clip");
  for (std::size_t i = 0; i < fit.candidates.size(); ++i) {
    const sets::Candidate& c = fit.candidates[i];
    std::string line = (fit.chosen == i ? "* " : "  ") + Left(sets::EncoderKey(c.settings.encoder), 7) +
                       Right(std::to_string(c.settings.rate), 9) + Right(std::to_string(c.settings.threshold), 11);
    if (!c.ok()) {
      lines.push_back(line + "  failed: " + SafeText(c.error, 200));
      continue;
    }
    line += Right(std::to_string(c.bytes), 11) + Right(c.fits ? "yes" : "no", 6) + Right(Fixed(c.scoreDb, 1), 10) +
            "  " + std::to_string(c.worstClip + 1) + " " + SafeText(set.ClipName(c.worstClip), 40);
    lines.push_back(line);
  }
  std::string bounds = "uncoded (the best each rate can score):";
  for (std::size_t i = 0; i < fit.bounds.size(); ++i) {
    bounds += std::string(i ? "," : "") + " " + std::to_string(fit.bounds[i].rate) + " Hz " +
              Fixed(fit.bounds[i].scoreDb, 1) + " dB";
  }
  lines.push_back(bounds);
  lines.push_back((fit.chosen ? "chosen: " : "") + SafeText(fit.why, 600));
  return lines;
}

std::vector<std::string> BuildLines(const sets::BuildReport& r, const sets::SetFile& set) {
  std::vector<std::string> lines;
  const auto& s = r.settings;
  lines.push_back("set " + SafeText(set.Name()) + ": " + std::to_string(r.clips.size()) + " clips, " +
                  sets::EncoderKey(s.encoder) + " at " + std::to_string(s.rate) + " Hz, threshold " +
                  std::to_string(s.threshold) + ", clock " + std::to_string(s.clock));
  lines.push_back("  clip  cue  label   start s  length s    bytes   share  SNR dB  segSNR dB  score dB  name, region");
  for (const auto& c : r.clips) {
    std::string region = c.check.ok ? "ok" : "WRONG";
    if (!c.check.note.empty()) region += ": " + SafeText(c.check.note, 200);
    lines.push_back(Right(std::to_string(c.index + 1), 6) + Right(std::to_string(c.cue), 5) +
                    Right(std::to_string(c.label), 7) + Right(Fixed(c.startSeconds, 3), 10) +
                    Right(Fixed(c.seconds, 3), 10) + Right(std::to_string(c.codeBytes), 9) +
                    Right(Fixed(c.share * 100.0, 1) + "%", 8) + Right(Fixed(c.coded.snrDb, 1), 8) +
                    Right(Fixed(c.coded.segSnrDb, 1), 11) + Right(Fixed(c.scoreDb, 1), 10) + "  " +
                    SafeText(c.name, 40) + "  " + region);
  }
  const double used = r.capacity ? 100.0 * static_cast<double>(r.imageBytes) / static_cast<double>(r.capacity) : 0.0;
  std::string image = "image";
  if (!r.image.empty()) image += " " + SafeText(r.image.string());
  lines.push_back(image + ": " + std::to_string(r.imageBytes) + " bytes of " + std::to_string(r.capacity) + " (" +
                  Fixed(used, 1) + "%), " +
                  (r.fits ? std::to_string(r.freeBytes) + " free" : std::to_string(-r.freeBytes) + " too many") + "; " +
                  std::to_string(r.otherBytes) + " bytes of header, markers, pauses and end; " + Fixed(r.seconds, 2) +
                  " s long; worst clip score " + Fixed(r.scoreDb, 1) + " dB");
  if (!r.joined.empty()) {
    lines.push_back("joined sound " + SafeText(r.joined.string()) + ": " + std::to_string(r.samples) + " samples at " +
                    std::to_string(s.rate) + " Hz, one region per clip");
  }
  lines.push_back(r.checked
                      ? "check: the decoded image holds every clip as its region, with its cue index and label value"
                      : "check: the decoded image does NOT hold every clip as it should");
  return lines;
}

void SayLines(const Session& session, const std::vector<std::string>& lines) {
  for (const auto& line : lines) session.Say(line);
}

int RunSetCommand(const Session& session, const SetArgs& args, bool build) {
  os::CatchInterrupts();
  sets::Diagnostics diagnostics;
  const char* command = build ? "build" : "fit";
  const auto finish = [&](int status, json object) {
    SayDiagnostics(session, diagnostics);
    if (session.json) {
      json errors = json::array(), warnings = json::array();
      for (const auto& d : diagnostics.All()) {
        (d.severity == sets::Severity::kError ? errors : warnings).push_back(sets::ToJson(d));
      }
      object["command"] = command;
      object["ok"] = status == kExitDone;
      object["errors"] = errors;
      object["warnings"] = warnings;
      session.Emit(object);
    }
    return status;
  };

  const auto set = sets::ReadSetFile(args.set, diagnostics);
  if (!set) return finish(kExitUsage, {{"failure", "input"}});
  sets::BuildRequest request;
  if (!MakeRequest(session, args, request, diagnostics)) return finish(kExitFailed, {{"failure", "unit"}});

  StepLine progress(true);
  sets::RunControl control;
  control.stop = [] { return os::Interrupted(); };
  control.progress = [&progress](const sets::Progress& p) { progress.Show(p); };

  if (!build) {
    sets::Failure failure = sets::Failure::kNone;
    const auto fit = sets::FitSet(*set, request, control, diagnostics, &failure);
    progress.Clear();
    // Nothing that fits is the fit's answer, and the command's failure.
    if (fit && !fit->chosen) diagnostics.Error(set->Name(), set->capacity.spot.line, fit->why);
    json object = {{"failure", sets::FailureName(failure)}};
    if (fit) {
      if (!session.json) SayLines(session, FitLines(*fit, *set));
      object["fit"] = sets::ToJson(*fit);
    }
    return finish(StatusOf(failure), object);
  }

  if (args.image.empty()) {
    std::filesystem::path image = set->path;
    image.replace_extension(".cod");
    request.image = image;
  } else {
    request.image = args.image;
  }
  sets::BuildResult failed;
  const auto result = sets::BuildSet(*set, request, control, diagnostics, &failed);
  progress.Clear();
  const sets::BuildResult& shown = result ? *result : failed;
  json object = {{"failure", sets::FailureName(result ? sets::Failure::kNone : failed.failure)}};
  if (shown.fit) {
    if (!session.json) SayLines(session, FitLines(*shown.fit, *set));
    object["fit"] = sets::ToJson(*shown.fit);
  }
  if (shown.report.imageBytes > 0) {
    // A failed build wrote nothing: its report names no file.
    sets::BuildReport report = shown.report;
    if (!result) report.image = report.joined = std::filesystem::path();
    if (!session.json) SayLines(session, BuildLines(report, *set));
    object["report"] = sets::ToJson(report);
  }
  return finish(result ? kExitDone : StatusOf(failed.failure), object);
}

void AddCapacityOptions(CLI::App& command, SetArgs& args) {
  auto* flash =
      command
          .add_option("--flash", args.flash, "The capacity in bytes (decimal or 0x hexadecimal), in place of the set's")
          ->type_name("BYTES")
          ->check(NumberCheck(1));
  command
      .add_option("--unit", args.unit,
                  "The unit (see velkin devices) whose flash size is the capacity, in place of the set's")
      ->type_name("NAME")
      ->excludes(flash);
}

}  // namespace

void AddSetCommands(CLI::App& app, Session& session) {
  auto args = std::make_shared<SetArgs>();
  CLI::App* build = app.add_subcommand(
      "build", "Make a sound set's image: clips joined into one WAV with a region each, encoded, checked and reported");
  build->add_option("SET", args->set, "The set file (TOML)")->required()->type_name("FILE");
  build
      ->add_option("-o,--output", args->image,
                   "The image file (default: the set file's name with .cod); the joined WAV goes beside it with .wav")
      ->type_name("IMAGE");
  AddCapacityOptions(*build, *args);
  AddCommonOptions(*build, session);
  build->footer(kSetText);
  build->callback([args, &session] { session.run = [args, &session] { return RunSetCommand(session, *args, true); }; });

  CLI::App* fit = app.add_subcommand(
      "fit", "Try every encoder, rate and threshold a sound set leaves to \"auto\" and choose the best that fits");
  fit->add_option("SET", args->set, "The set file (TOML)")->required()->type_name("FILE");
  AddCapacityOptions(*fit, *args);
  AddCommonOptions(*fit, session);
  fit->footer(kFitText);
  fit->callback([args, &session] { session.run = [args, &session] { return RunSetCommand(session, *args, false); }; });
}

}  // namespace velkin::cli
