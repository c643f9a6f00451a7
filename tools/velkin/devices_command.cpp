// devices: the units that carry the texts, with their identity; --watch follows them coming and
// going until Ctrl-C.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/programming/records.h"
#include "device/programming/watch.h"
#include "tools/velkin/command_table.h"
#include "tools/velkin/os/platform.h"
#include "tools/velkin/unit_runs.h"

namespace velkin::cli {
namespace {

using nlohmann::json;
using programming::UnitIdentity;

std::string UsbIdText(std::uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value);
  return text;
}

std::vector<std::string> IdentityLines(const UnitIdentity& unit) {
  std::vector<std::string> lines;
  std::string head = SafeText(unit.name, 40) + ": " + SafeText(unit.vendor, 40) + " / " + SafeText(unit.product, 40) +
                     ", USB " + UsbIdText(unit.usb_vendor_id) + ":" + UsbIdText(unit.usb_product_id) + ", hub " +
                     std::to_string(unit.hub) + ", port " + std::to_string(unit.port);
  lines.push_back(head);
  if (!unit.open_error.empty()) {
    lines.push_back("  cannot be opened: " + SafeText(unit.open_error));
    return lines;
  }
  if (unit.flash_id) {
    lines.push_back("  flash " + programming::HexText(unit.flash_id->data(), 3) +
                    (unit.flash_size != 0 ? ", " + std::to_string(unit.flash_size) + " bytes" : ", size unknown"));
  } else {
    lines.push_back("  flash identity unreadable");
  }
  const auto record = [](const std::optional<programming::Record>& r) {
    return r ? programming::RecordText(*r) : std::string("unreadable");
  };
  lines.push_back("  product record (EEPROM 0): " + record(unit.product_record));
  lines.push_back("  record (EEPROM 16):        " + record(unit.record));
  return lines;
}

int List(const Session& session) {
  const auto units = programming::ListUnits(session.Texts(), true);
  for (const auto& unit : units) {
    if (session.json) {
      session.Emit(IdentityJson(unit));
    } else {
      for (const auto& line : IdentityLines(unit)) session.Say(line);
    }
  }
  if (units.empty() && !session.json) {
    session.Say("no units carry " + SafeText(session.vendor) + " / " + SafeText(session.product));
  }
  return kExitDone;
}

int Watch(const Session& session) {
  os::CatchInterrupts();
  std::mutex lock;
  std::condition_variable wake;
  std::deque<programming::UnitChange> changes;
  std::string error;
  auto watcher = programming::UnitWatcher::Start(
      session.Texts(),
      [&](const programming::UnitChange& change) {
        std::lock_guard guard(lock);
        changes.push_back({change.kind, change.identity, nullptr});
        wake.notify_one();
      },
      &error);
  if (!watcher) {
    session.Error(error);
    return kExitFailed;
  }
  while (!os::Interrupted()) {
    std::deque<programming::UnitChange> batch;
    {
      std::unique_lock guard(lock);
      wake.wait_for(guard, std::chrono::milliseconds(100), [&] { return !changes.empty(); });
      batch.swap(changes);
    }
    for (const auto& change : batch) {
      const bool arrived = change.kind == programming::UnitChange::Kind::kArrived;
      if (session.json) {
        json object = IdentityJson(change.identity);
        object["event"] = arrived ? "arrived" : "removed";
        session.Emit(object);
      } else if (arrived) {
        auto lines = IdentityLines(change.identity);
        lines[0] = "arrived " + lines[0];
        for (const auto& line : lines) session.Say(line);
      } else {
        session.Say("removed " + SafeText(change.identity.name, 40));
      }
    }
  }
  // Ctrl-C is how a watch ends: not a failure.
  return kExitDone;
}

}  // namespace

void AddDevicesCommand(CLI::App& app, Session& session) {
  auto watch = std::make_shared<bool>(false);
  CLI::App* devices = app.add_subcommand(
      "devices", "List the units: name, identity, hub and port, flash identity and size, both EEPROM records");
  devices->add_flag("--watch", *watch, "Go on printing arrivals and removals as they come, until Ctrl-C");
  AddCommonOptions(*devices, session);
  devices->callback(
      [watch, &session] { session.run = [watch, &session] { return *watch ? Watch(session) : List(session); }; });
}

}  // namespace velkin::cli
