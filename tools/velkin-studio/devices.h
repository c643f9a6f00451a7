// The units the studio knows and what is done with them. The units themselves (listing, opening,
// watching, the program and EEPROM jobs) are the programming library's; here each unit's row of the
// page is kept: its identity, its last job and what its flash holds as far as the studio knows. A
// unit that leaves while it has a job to show keeps its row, marked gone, until it returns or the
// user clears it, so that no result is lost with the unit.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "device/programming/records.h"
#include "device/programming/unit.h"
#include "device/programming/watch.h"
#include "events.h"
#include "jobs.h"

namespace velkin::studio {

struct ProgramRequest {
  std::shared_ptr<const std::vector<std::uint8_t>> image;  // the code file
  std::optional<programming::Record> record;               // for EEPROM address 16
  // What the unit will hold once programmed: the sound's number and name, the encoding. Becomes
  // the job's details and, from its outcome, the unit's "holds".
  nlohmann::json what;
};

class DeviceHub {
 public:
  DeviceHub(programming::MatchTexts texts, EventHub& events, JobBoard& jobs);
  ~DeviceHub();

  // The first listing and the hot-plug watch; false (with the reason) when the watch cannot start.
  bool Start(std::string* error);
  void Stop();

  // Every row: the units present and those gone with a job to show, in the tray's order.
  nlohmann::json List();
  // The units present now.
  std::vector<std::string> Present();
  bool IsPresent(const std::string& name);

  // Starts a program job on the unit; refused (kBusy) when the unit has a job already, (kGone)
  // when it is not present.
  Started Program(const std::string& name, const ProgramRequest& request);
  // Starts a job that writes the record at EEPROM address 16 and reads both records again. A unit
  // busy with its EEPROM can hold it for a minute: never on a thread that answers requests.
  Started WriteRecord(const std::string& name, const programming::Record& record);

  // Forgets the row of a unit that has gone.
  enum class Cleared { kCleared, kPresent, kUnknown };
  Cleared Clear(const std::string& name);

 private:
  struct Row {
    std::shared_ptr<programming::Unit> unit;  // null while the unit is away
    programming::UnitIdentity identity;       // as last read
    bool busy = false;                        // a job of the studio's has it
    std::shared_ptr<Job> last_job;
    nlohmann::json holds;  // what its flash holds, as far as the studio knows
  };

  void OnChange(const programming::UnitChange& change);
  void Publish();
  static nlohmann::json RowJson(const Row& row);
  // Runs `work` as a job that holds the unit, which is free again once it has ended.
  Started StartUnitJob(const std::string& name, JobKind kind, nlohmann::json details,
                       std::function<void(Job&, programming::Unit&)> work);
  void SetHolds(const std::string& name, nlohmann::json holds);
  void SetIdentity(const std::string& name, const programming::UnitIdentity& identity);

  const programming::MatchTexts texts_;
  EventHub& events_;
  JobBoard& jobs_;
  std::mutex lock_;
  std::map<std::string, Row> rows_;
  std::unique_ptr<programming::UnitWatcher> watcher_;
};

// What a flash holds, from its first bytes: blank, a code file (its encoding, samples and rate), or
// something else.
nlohmann::json FlashContent(const std::vector<std::uint8_t>& first_bytes);

}  // namespace velkin::studio
