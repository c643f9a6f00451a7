#include "devices.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <new>

#include "device/programming/job.h"
#include "formats/code_file.h"
#include "formats/code_file_layout.h"

namespace velkin::studio {
namespace {

using nlohmann::json;
namespace pg = velkin::programming;

// Enough of the flash to read a code file's header (5 bytes, up to 8 of timer values, its end mark).
constexpr std::uint32_t kPeekBytes = 16;

std::string Hex(std::uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
  return text;
}

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

json RecordJson(const std::optional<pg::Record>& record) {
  return record ? json(pg::RecordText(*record)) : json(nullptr);
}

Failure FailureOf(pg::Failure failure) {
  switch (failure) {
    case pg::Failure::kNone:
      return Failure::kNone;
    case pg::Failure::kUnitPulled:
    case pg::Failure::kNotFound:
      return Failure::kUnitPulled;
    case pg::Failure::kRefused:
    case pg::Failure::kEepromFailed:
      return Failure::kUnitRefused;
    case pg::Failure::kNoAnswer:
    case pg::Failure::kUnknownFlash:
      return Failure::kNoAnswer;
    case pg::Failure::kMismatch:
      return Failure::kMismatch;
    case pg::Failure::kTooLarge:
    case pg::Failure::kFileError:
      return Failure::kInput;
    case pg::Failure::kCancelled:
      return Failure::kCancelled;
    case pg::Failure::kCannotStart:
      return Failure::kResources;
    case pg::Failure::kBusy:
      break;
  }
  return Failure::kInternal;
}

// The library's progress as the job's steps ("erase", "write", "eeprom", "verify") and percents.
pg::ProgressFn ProgressOf(Job& job) {
  return [&job, step = pg::Step::kDone](pg::Step now, int percent) mutable {
    if (now != step) {
      step = now;
      job.Step(pg::StepName(now), percent);
    } else {
      job.Progress(percent);
    }
  };
}

// Where a failed job stopped, for the page and for scripts.
json FailureDetails(const pg::JobResult& result) {
  json out = {{"step", pg::StepName(result.step)}, {"verified", false}, {"half_written", result.half_written()}};
  if (result.address) out["address"] = Hex(*result.address, 6);
  return out;
}

// A peeked code file and the sound the studio wrote are the same when the encoding and the length
// agree: a unit that comes back keeps what the studio knows of it.
bool SameContent(const json& peeked, const json& known) {
  if (!peeked.is_object() || !known.is_object() || peeked.value("kind", "") != "code") return false;
  if (known.value("kind", "") != "sound") return false;
  std::string encoding = known.value("encoding", "");
  std::transform(encoding.begin(), encoding.end(), encoding.begin(), [](unsigned char c) { return std::toupper(c); });
  return peeked.value("format", "") == encoding && peeked.value("samples", -1) == known.value("samples", -2);
}

}  // namespace

json FlashContent(const std::vector<std::uint8_t>& first) {
  if (first.empty()) return {{"kind", "unread"}};
  if (std::all_of(first.begin(), first.end(), [](std::uint8_t b) { return b == 0xFF; })) return {{"kind", "blank"}};
  for (const std::size_t timer : codefile::kTimerLengths) {
    const auto header = codefile::ReadHeader(first, timer);
    if (!header) continue;
    const decode::BlockDecoder* decoder = decode::FindDecoder(header->format_byte);
    if (decoder == nullptr) continue;
    json out = {{"kind", "code"}, {"format", decoder->name}, {"samples", header->declared_samples}};
    if (header->rate_code < codefile::kRates.size()) out["rate"] = codefile::kRates[header->rate_code];
    return out;
  }
  return {{"kind", "data"}};
}

DeviceHub::DeviceHub(programming::MatchTexts texts, EventHub& events, JobBoard& jobs)
    : texts_(std::move(texts)), events_(events), jobs_(jobs) {}

DeviceHub::~DeviceHub() {
  Stop();
}

bool DeviceHub::Start(std::string* error) {
  watcher_ = pg::UnitWatcher::Start(
      texts_, [this](const pg::UnitChange& change) { OnChange(change); }, error);
  return watcher_ != nullptr;
}

void DeviceHub::Stop() {
  watcher_.reset();
}

void DeviceHub::OnChange(const pg::UnitChange& change) {
  const std::string& name = change.identity.name;
  if (change.kind == pg::UnitChange::Kind::kRemoved) {
    {
      std::lock_guard guard(lock_);
      const auto it = rows_.find(name);
      if (it == rows_.end()) return;
      // A row with a job to show stays, marked gone; one with nothing to show goes with its unit.
      if (it->second.last_job) {
        it->second.unit.reset();
      } else {
        rows_.erase(it);
      }
    }
    return Publish();
  }
  // Before the unit is listed, so that no job of the page's can have it yet: what its flash holds.
  pg::JobRequest peek;
  peek.kind = pg::JobKind::kRead;
  peek.length = kPeekBytes;
  const pg::JobResult read = pg::RunJob(*change.unit, peek);
  const json peeked = FlashContent(read.ok() ? read.data : std::vector<std::uint8_t>());
  {
    std::lock_guard guard(lock_);
    Row& row = rows_[name];
    row.unit = change.unit;
    row.identity = change.identity;
    if (!SameContent(peeked, row.holds)) row.holds = peeked;
  }
  Publish();
}

void DeviceHub::Publish() {
  events_.Publish("devices", List());
}

json DeviceHub::RowJson(const Row& row) {
  const pg::UnitIdentity& id = row.identity;
  json out = {{"name", id.name},
              {"vendor", id.vendor},
              {"product", id.product},
              {"usb_vendor_id", Hex(id.usb_vendor_id, 4)},
              {"usb_product_id", Hex(id.usb_product_id, 4)},
              {"hub", id.hub},
              {"port", id.port},
              {"flash_id", id.flash_id ? json(pg::HexText(id.flash_id->data(), id.flash_id->size())) : json(nullptr)},
              {"flash_size", id.flash_size},
              {"eeprom_product", RecordJson(id.product_record)},
              {"eeprom_record", RecordJson(id.record)},
              {"present", row.unit != nullptr},
              {"busy", row.busy},
              {"holds", row.holds}};
  out["last_job"] = row.last_job ? row.last_job->Snapshot() : json(nullptr);
  return out;
}

json DeviceHub::List() {
  std::vector<std::pair<pg::UnitIdentity, json>> rows;
  {
    std::lock_guard guard(lock_);
    for (const auto& [name, row] : rows_) rows.emplace_back(row.identity, RowJson(row));
  }
  std::stable_sort(rows.begin(), rows.end(),
                   [](const auto& a, const auto& b) { return pg::TrayOrder(a.first, b.first); });
  json out = json::array();
  for (auto& [identity, row] : rows) out.push_back(std::move(row));
  return out;
}

std::vector<std::string> DeviceHub::Present() {
  std::vector<std::pair<pg::UnitIdentity, std::string>> present;
  {
    std::lock_guard guard(lock_);
    for (const auto& [name, row] : rows_) {
      if (row.unit) present.emplace_back(row.identity, name);
    }
  }
  std::stable_sort(present.begin(), present.end(),
                   [](const auto& a, const auto& b) { return pg::TrayOrder(a.first, b.first); });
  std::vector<std::string> out;
  for (auto& [identity, name] : present) out.push_back(std::move(name));
  return out;
}

bool DeviceHub::IsPresent(const std::string& name) {
  std::lock_guard guard(lock_);
  const auto it = rows_.find(name);
  return it != rows_.end() && it->second.unit;
}

DeviceHub::Cleared DeviceHub::Clear(const std::string& name) {
  {
    std::lock_guard guard(lock_);
    const auto it = rows_.find(name);
    if (it == rows_.end()) return Cleared::kUnknown;
    if (it->second.unit) return Cleared::kPresent;
    rows_.erase(it);
  }
  Publish();
  return Cleared::kCleared;
}

void DeviceHub::SetHolds(const std::string& name, json holds) {
  std::lock_guard guard(lock_);
  const auto it = rows_.find(name);
  if (it != rows_.end()) it->second.holds = std::move(holds);
}

void DeviceHub::SetIdentity(const std::string& name, const pg::UnitIdentity& identity) {
  std::lock_guard guard(lock_);
  const auto it = rows_.find(name);
  if (it != rows_.end()) it->second.identity = identity;
}

Started DeviceHub::StartUnitJob(const std::string& name, JobKind kind, json details,
                                std::function<void(Job&, pg::Unit&)> work) {
  std::shared_ptr<pg::Unit> unit;
  {
    std::lock_guard guard(lock_);
    const auto it = rows_.find(name);
    if (it == rows_.end() || !it->second.unit) return {nullptr, Refusal::kGone};
    if (it->second.busy) return {nullptr, Refusal::kBusy};
    it->second.busy = true;
    unit = it->second.unit;
  }
  Started started;
  try {
    started = jobs_.Spawn(
        kind, name,
        [unit, details, work = std::move(work)](Job& job) {
          job.Describe(details);
          work(job, *unit);
        },
        // Free for the next job before anyone learns that this one has ended.
        [this, name](JobState, const std::string&) {
          {
            std::lock_guard guard(lock_);
            const auto it = rows_.find(name);
            if (it != rows_.end()) it->second.busy = false;
          }
          Publish();
        });
  } catch (const std::bad_alloc&) {
    // Not even the job could be made: the unit stays free, and the request hears so.
    started = {nullptr, Refusal::kResources};
  }
  {
    std::lock_guard guard(lock_);
    const auto it = rows_.find(name);
    if (it != rows_.end()) {
      if (started.job) {
        it->second.last_job = started.job;
      } else {
        it->second.busy = false;
      }
    }
  }
  Publish();
  return started;
}

Started DeviceHub::WriteRecord(const std::string& name, const pg::Record& record) {
  return StartUnitJob(name, JobKind::kEeprom, {{"record", pg::RecordText(record)}},
                      [this, name, record](Job& job, pg::Unit& unit) {
                        job.Step("eeprom", 0);
                        pg::JobRequest request;
                        request.kind = pg::JobKind::kEepromWrite;
                        request.record = record;
                        const pg::JobResult result = pg::RunJob(unit, request, {}, job.CancelFlag());
                        if (!result.ok())
                          return job.Fail(FailureOf(result.failure), result.text, FailureDetails(result));
                        // Both records as read back, before the job says "written", so that the
                        // unit's row shows the record by then.
                        pg::UnitIdentity identity = unit.Identity();
                        identity.product_record = result.product_record;
                        identity.record = result.record;
                        SetIdentity(name, identity);
                        job.Succeed("written", {{"eeprom_product", RecordJson(result.product_record)},
                                                {"eeprom_record", RecordJson(result.record)}});
                      });
}

Started DeviceHub::Program(const std::string& name, const ProgramRequest& request) {
  json details = request.what;
  details["bytes"] = request.image ? request.image->size() : 0;
  details["record"] = request.record ? json(pg::RecordText(*request.record)) : json(nullptr);
  return StartUnitJob(name, JobKind::kProgram, details, [this, name, request](Job& job, pg::Unit& unit) {
    pg::JobRequest run;
    run.kind = pg::JobKind::kProgram;
    run.image = request.image;
    run.record = request.record;
    const pg::JobResult result = pg::RunJob(unit, run, ProgressOf(job), job.CancelFlag());
    // What the flash holds now, before the outcome is seen.
    if (result.ok() || result.flash_touched) {
      json holds = request.what;
      holds["kind"] = "sound";
      holds["at"] = NowMs();
      holds["verified"] = result.verified;
      holds["half_written"] = !result.ok();
      SetHolds(name, std::move(holds));
    }
    // The records as they are now; a unit that no longer answers keeps what was read before.
    if (result.failure != pg::Failure::kUnitPulled) {
      const pg::UnitIdentity identity = unit.RefreshIdentity();
      if (identity.flash_id) SetIdentity(name, identity);
    }
    if (!result.ok()) return job.Fail(FailureOf(result.failure), result.text, FailureDetails(result));
    job.Succeed(result.text, {{"verified", result.verified}, {"bytes", result.bytes}});
  });
}

}  // namespace velkin::studio
