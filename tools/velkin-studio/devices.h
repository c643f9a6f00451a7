// The units present and what is done with them. Each unit gets an opened unit (a device table)
// of its own in which it alone is opened, so several units are talked to at once, each under its own exchange lock;
// the export sets, which keep one opened unit per process, are not used here.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "device/qmlib/opened_unit.h"
#include "device/qmlib/os/hotplug.h"
#include "device/qmlib/vendor_commands.h"
#include "events.h"
#include "jobs.h"

namespace velkin::studio {

// One unit, opened by its name in a device table of its own (closed again with it).
class Unit : public qm::C_OpenedUnit {
 public:
  explicit Unit(std::string name) : name_(std::move(name)) {}

  const std::string& name() const { return name_; }
  // Lists the units that carry the texts and opens the one of this unit's name.
  bool Open(const std::string& vendor, const std::string& product);
  // One conversation under the unit's exchange lock; a library result code.
  std::int32_t Talk(const std::function<std::int32_t(qm::VendorCommands&)>& body);
  // Why the last failed command failed: the unit pulled, a refusal with its sense, or the
  // transport's code.
  struct Trouble {
    Failure kind;
    std::string text;
  };
  Trouble Explain(std::int32_t code);

  // What the page shows; filled in when the unit arrives and after each job.
  std::mutex identity_lock;
  nlohmann::json identity;
  std::uint32_t flash_size = 0;
  // Set while a job has the unit: one job per unit at a time.
  std::atomic<bool> busy{false};

 private:
  const std::string name_;
};

struct ProgramRequest {
  std::string sound_file;  // the code file to write
  bool with_record = false;
  std::uint8_t record[16] = {};
};

class DeviceHub {
 public:
  DeviceHub(std::string vendor, std::string product, EventHub& events, JobBoard& jobs);
  ~DeviceHub();

  // First listing and the hot-plug watch.
  void Start();
  void Stop();

  nlohmann::json List();
  std::shared_ptr<Unit> Find(const std::string& name);
  std::vector<std::shared_ptr<Unit>> All();

  // Starts a program job on the unit; refused (kBusy) when the unit has a job already.
  Started Program(const std::shared_ptr<Unit>& unit, const ProgramRequest& request);
  // Starts a job that writes the record at EEPROM address 16 and reads both records again; refused
  // (kBusy) when the unit has a job already. A unit busy with its EEPROM can hold it for a minute:
  // never on a thread that answers requests.
  Started WriteRecord(const std::shared_ptr<Unit>& unit, const std::uint8_t* record);

  // Re-lists the units now (also done on every hot-plug event).
  void Rescan();

 private:
  void Watch();
  void Publish();
  static void ReadIdentity(Unit& unit);
  static void RunProgram(Unit& unit, const ProgramRequest& request, Job& job);
  // Runs `work` as a job that holds the unit, which is free again once it has ended.
  Started StartUnitJob(const std::shared_ptr<Unit>& unit, JobKind kind, std::function<void(Job&)> work);

  const std::string vendor_;
  const std::string product_;
  EventHub& events_;
  JobBoard& jobs_;
  std::mutex lock_;
  std::map<std::string, std::shared_ptr<Unit>> units_;
  std::mutex scan_lock_;  // one listing at a time

  std::mutex wake_lock_;
  std::condition_variable wake_;
  bool rescan_ = false;
  bool stopping_ = false;
  std::thread watcher_;
  std::unique_ptr<qm::os::HotplugSource> hotplug_;
};

// 32 hexadecimal digits to 16 bytes.
bool ParseRecord(const std::string& text, std::uint8_t* out);
// Bytes as upper-case hexadecimal digits (a record: 16 bytes).
std::string RecordText(const std::uint8_t* bytes, std::size_t count = 16);

}  // namespace velkin::studio
