#include "unit_runs.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>

#include "device/programming/records.h"
#include "tools/velkin/os/platform.h"
#include "tools/velkin/progress.h"

namespace velkin::cli {
namespace {

using nlohmann::json;
using programming::Failure;
using programming::TrayResult;

// How often the bars are redrawn and Ctrl-C is looked for while units work.
constexpr auto kTick = std::chrono::milliseconds(100);

std::string HexId(std::uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", value);
  return text;
}

std::string Seconds(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", ms / 1000.0);
  return text;
}

json ResultJson(const std::string& command, const TrayResult& result, const std::string& file) {
  const auto& job = result.job;
  json times = json::object();
  for (const auto& t : job.times) times[programming::StepName(t.step)] = static_cast<std::int64_t>(t.ms + 0.5);
  json object = {
      {"command", command},
      {"unit", result.name},
      {"ok", job.ok()},
      {"result", job.ok()                             ? job.text
                 : job.failure == Failure::kCancelled ? "cancelled"
                                                      : "failed"},
      {"message", job.text},
      {"failure", job.ok() ? json(nullptr) : json(programming::FailureName(job.failure))},
      {"step", programming::StepName(job.step)},
      {"address", job.address ? json(*job.address) : json(nullptr)},
      {"half_written", job.half_written()},
      {"bytes", job.bytes},
      {"times_ms", times},
      {"identity", IdentityJson(result.identity)},
  };
  if (!file.empty()) object["file"] = file;
  return object;
}

// The lines a person reads for one unit.
std::vector<std::string> ResultLines(const TrayResult& result, const std::string& file) {
  const auto& job = result.job;
  const std::string unit = SafeText(result.name, 40);
  const std::string in_file = file.empty() ? "" : " (" + SafeText(file) + ")";
  std::string line;
  if (job.ok()) {
    line = unit + ": " + job.text;
    if (job.bytes > 0) line += ", " + std::to_string(job.bytes) + " bytes";
    line += in_file;
    std::string times;
    for (const auto& t : job.times)
      times += (times.empty() ? "; " : ", ") + std::string(programming::StepName(t.step)) + " " + Seconds(t.ms);
    line += times;
  } else {
    line = unit + ": failed";
    if (job.step != programming::Step::kStart && job.step != programming::Step::kDone) {
      line += std::string(" in ") + programming::StepName(job.step);
    }
    if (job.address) line += " at address " + Address(*job.address);
    line += in_file + ": " + SafeText(job.text, 300);
    // A cancelled job says so in its own words.
    if (job.half_written() && job.failure != Failure::kCancelled) line += "; the unit is left half written";
  }
  return {line};
}

std::string Outcome(const TrayResult& result, bool ok) {
  if (ok) return result.job.text;
  return std::string(result.job.failure == Failure::kCancelled ? "CANCELLED" : "FAILED") + ": " +
         SafeText(result.job.text, 200);
}

}  // namespace

json IdentityJson(const programming::UnitIdentity& identity) {
  const auto record = [](const std::optional<programming::Record>& r) {
    return r ? json(programming::RecordText(*r)) : json(nullptr);
  };
  json object = {
      {"name", identity.name},
      {"vendor", identity.vendor},
      {"product", identity.product},
      {"usb_vendor_id", HexId(identity.usb_vendor_id)},
      {"usb_product_id", HexId(identity.usb_product_id)},
      {"hub", identity.hub},
      {"port", identity.port},
      {"flash_id", identity.flash_id ? json(programming::HexText(identity.flash_id->data(), 3)) : json(nullptr)},
      {"flash_size", identity.flash_size},
      {"eeprom_product", record(identity.product_record)},
      {"eeprom_record", record(identity.record)},
  };
  if (!identity.open_error.empty()) object["open_error"] = identity.open_error;
  return object;
}

std::vector<programming::UnitIdentity> ChooseUnits(const Session& session, const std::vector<std::string>& names,
                                                   bool all) {
  const auto listed = programming::ListUnits(session.Texts(), false);
  std::vector<programming::UnitIdentity> chosen;
  if (all) {
    chosen = listed;
    if (chosen.empty()) session.Error("no units carry " + SafeText(session.vendor) + " / " + SafeText(session.product));
  } else {
    for (const auto& name : names) {
      if (std::any_of(chosen.begin(), chosen.end(), [&](const auto& u) { return u.name == name; })) continue;
      const auto found = std::find_if(listed.begin(), listed.end(), [&](const auto& u) { return u.name == name; });
      programming::UnitIdentity identity;
      identity.name = name;
      chosen.push_back(found != listed.end() ? *found : identity);
    }
  }
  std::stable_sort(chosen.begin(), chosen.end(), programming::TrayOrder);
  return chosen;
}

int RunOnUnits(const Session& session, std::vector<programming::TrayUnit> units, const UnitRunOptions& options) {
  os::CatchInterrupts();
  std::vector<std::string> labels;
  for (const auto& unit : units) labels.push_back(unit.name);
  ProgressBars bars(labels, true);
  // Results written to the terminal the bars are on would scroll them away: they wait.
  const bool defer = bars.active() && os::IsTerminal(stdout);

  struct Ended {
    std::size_t index;
    TrayResult result;
  };
  std::mutex lock;
  std::condition_variable wake;
  std::deque<Ended> ended;
  programming::Tray tray(session.Texts());
  tray.Start(units,
             {.opened = {},
              .progress = [&](std::size_t i, programming::Step step, int percent) { bars.Update(i, step, percent); },
              .finished =
                  [&](std::size_t i, const TrayResult& result) {
                    std::lock_guard guard(lock);
                    ended.push_back({i, result});
                    wake.notify_one();
                  }});

  std::size_t reported = 0;
  std::size_t failed = 0;
  bool interrupted = false;
  bool log_failed = false;
  // Text results held back while the bars are drawn, then shown in the tray's order.
  std::vector<std::vector<std::string>> waiting(units.size());
  while (reported < units.size()) {
    std::deque<Ended> batch;
    {
      std::unique_lock guard(lock);
      wake.wait_for(guard, kTick, [&] { return !ended.empty(); });
      batch.swap(ended);
    }
    if (!interrupted && os::Interrupted()) {
      interrupted = true;
      tray.Cancel();
    }
    for (auto& [index, result] : batch) {
      ++reported;
      json object = ResultJson(options.command, result, options.file);
      std::vector<std::string> lines = ResultLines(result, options.file);
      bool ok = result.job.ok();
      if (options.extras && !options.extras(index, result, object, lines)) ok = false;
      object["ok"] = ok;
      if (!ok) ++failed;
      bars.Finish(index, Outcome(result, ok));
      if (options.log) {
        std::string error;
        if (!options.log(index, object, &error)) {
          log_failed = true;
          session.Error("the log: " + SafeText(error) + " (the result of " + SafeText(result.name) + " is not in it)");
        }
      }
      if (session.json) {
        session.Emit(object);
      } else if (defer) {
        waiting[index] = lines;
      } else {
        for (const auto& line : lines) session.Say(line);
      }
    }
    bars.Draw();
  }
  tray.Wait();
  bars.End();
  for (const auto& lines : waiting) {
    for (const auto& line : lines) session.Say(line);
  }
  if (!session.json && units.size() > 1) {
    session.Say(std::to_string(units.size() - failed) + " of " + std::to_string(units.size()) + " units done" +
                (failed > 0 ? ", " + std::to_string(failed) + " failed" : ""));
  }
  if (interrupted) {
    session.Error("interrupted: every unit stopped after its current command");
    return kExitInterrupted;
  }
  return failed > 0 || log_failed ? kExitFailed : kExitDone;
}

}  // namespace velkin::cli
