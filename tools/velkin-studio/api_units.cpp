// Units: the list (with the rows of units gone that have a result to show), an EEPROM record
// written, programming one unit or a tray, a gone unit's row cleared; and the page's selection.
#include <fstream>
#include <iterator>
#include <map>

#include "api.h"
#include "devices.h"
#include "selection.h"
#include "sounds.h"

namespace velkin::studio {
namespace {

using nlohmann::json;

constexpr const char* kUnitBusy = "the unit has a job running";

std::optional<programming::Record> RecordOf(const json& value) {
  programming::Record record{};
  if (!value.is_string() || !programming::ParseRecord(value.get<std::string>(), &record)) return std::nullopt;
  return record;
}

std::shared_ptr<const std::vector<std::uint8_t>> ReadImage(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return nullptr;
  auto bytes =
      std::make_shared<std::vector<std::uint8_t>>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return bytes;
}

// A sound's code file as the image to program; false with the answer in `res` when it has none.
bool SoundImageFor(const ApiContext& context, const json& body, ProgramRequest& request, HttpResponse& res) {
  SoundLibrary& sounds = context.parts.sounds;
  const auto id = body.contains("sound") && body["sound"].is_number_unsigned()
                      ? std::optional<std::uint64_t>(body["sound"].get<std::uint64_t>())
                      : std::nullopt;
  const auto sound = id ? sounds.Find(*id) : nullptr;
  if (!sound) {
    SendError(res, 404, "no such sound");
    return false;
  }
  const json encoding_field = body.value("encoding", json("vossik"));
  if (encoding_field != "tarpel" && encoding_field != "vossik") {
    SendError(res, 400, "encoding must be \"tarpel\" or \"vossik\"");
    return false;
  }
  const std::string encoding = encoding_field.get<std::string>();
  const auto code = sound->CodeFile(encoding);
  if (!code) {
    SendError(res, 409, "the sound has no " + encoding + " code file (not encoded yet?)");
    return false;
  }
  request.image = ReadImage(*code);
  if (!request.image || request.image->empty()) {
    SendError(res, 409, "the sound's " + encoding + " code file cannot be read");
    return false;
  }
  const json summary = sound->Summary();
  request.what = {{"sound", sound->id()},
                  {"name", summary["name"]},
                  {"encoding", encoding},
                  {"samples", summary.value("samples", 0)}};
  return true;
}

// One program job per unit named (or per unit present), from a sound's code file or a set's image.
void Program(const ApiContext& context, const HttpRequest& req, HttpResponse& res) {
  DeviceHub& devices = context.parts.devices;
  const json body = json::parse(req.body, nullptr, false);
  if (!body.is_object()) return SendError(res, 400, "expected a JSON object");
  ProgramRequest request;
  if (body.contains("set")) {
    if (!body["set"].is_number_unsigned()) return SendError(res, 404, "no such set");
    if (!SetImageFor(context, body["set"].get<std::uint64_t>(), request, res)) return;
  } else if (!SoundImageFor(context, body, request, res)) {
    return;
  }
  if (body.contains("record") && !body["record"].is_null()) {
    request.record = RecordOf(body["record"]);
    if (!request.record) return SendError(res, 400, "record must be 32 hexadecimal digits");
  }
  std::vector<std::string> units;
  const json names = body.value("units", json("all"));
  if (names == "all") {
    units = devices.Present();
  } else if (names.is_array()) {
    for (const auto& name : names) {
      if (!name.is_string() || !devices.IsPresent(name.get<std::string>())) {
        return SendError(res, 404, "no such unit: " + JsonText(name));
      }
      units.push_back(name.get<std::string>());
    }
  } else {
    return SendError(res, 400, "units must be \"all\" or a list of unit names");
  }
  if (units.empty()) return SendError(res, 404, "no units present");
  // What was asked last is what a page that comes back shows as chosen.
  std::string ignored;
  json chosen = {{"units", units}};
  if (request.what.contains("sound")) {
    chosen["sound"] = request.what["sound"];
    chosen["encoding"] = request.what["encoding"];
  }
  if (request.record) chosen["record"] = programming::RecordText(*request.record);
  context.selection->Set(chosen, ignored);
  json jobs = json::array();
  json refused = json::array();
  // The size of each unit's flash as last read: an image that cannot fit is refused here, before
  // any job could erase the unit (the job checks again, for a unit whose size was not known).
  std::map<std::string, std::uint64_t> flash;
  for (const auto& row : devices.List()) flash[row.value("name", "")] = row.value("flash_size", std::uint64_t{0});
  for (const auto& unit : units) {
    const std::uint64_t size = flash[unit];
    if (size > 0 && request.image->size() > size) {
      refused.push_back({{"unit", unit},
                         {"error", "the image (" + std::to_string(request.image->size()) +
                                       " bytes) does not fit the flash (" + std::to_string(size) + " bytes)"}});
      continue;
    }
    const auto started = devices.Program(unit, request);
    if (started.job) {
      jobs.push_back(started.job->Snapshot());
    } else {
      refused.push_back({{"unit", unit}, {"error", AnswerTo(started.refusal, context, kUnitBusy).message}});
    }
  }
  SendJson(res, {{"jobs", jobs}, {"refused", refused}}, jobs.empty() ? 409 : 202);
}

}  // namespace

void AddUnitRoutes(Router& router, const ApiContext& context) {
  DeviceHub& devices = context.parts.devices;
  Selection& selection = *context.selection;

  router.Add(Get("/api/devices", [&devices](const HttpRequest&, HttpResponse& res) { SendJson(res, devices.List()); }));

  // A gone unit's row, with its last result, stays until the user clears it here.
  router.Add(Delete("/api/devices/*", [&devices](const HttpRequest& req, HttpResponse& res) {
    switch (devices.Clear(req.matches[0])) {
      case DeviceHub::Cleared::kCleared:
        return SendJson(res, {{"cleared", req.matches[0]}});
      case DeviceHub::Cleared::kPresent:
        return SendError(res, 409, "the unit is plugged in: only the row of a unit that has gone can be cleared");
      case DeviceHub::Cleared::kUnknown:
        break;
    }
    SendError(res, 404, "no such unit");
  }));

  router.Add(
      JsonPost("/api/devices/*/eeprom", context, [&context, &devices](const HttpRequest& req, HttpResponse& res) {
        if (!devices.IsPresent(req.matches[0])) return SendError(res, 404, "no such unit");
        const json body = json::parse(req.body, nullptr, false);
        const auto record = body.is_object() && body.contains("record") ? RecordOf(body["record"]) : std::nullopt;
        if (!record) return SendError(res, 400, "record must be 32 hexadecimal digits");
        const auto started = devices.WriteRecord(req.matches[0], *record);
        if (!started.job) return SendRefusal(res, started.refusal, context, kUnitBusy);
        SendJson(res, {{"job", started.job->Snapshot()}}, 202);
      }));

  router.Add(JsonPost("/api/program", context,
                      [&context](const HttpRequest& req, HttpResponse& res) { Program(context, req, res); }));

  router.Add(
      Get("/api/selection", [&selection](const HttpRequest&, HttpResponse& res) { SendJson(res, selection.Get()); }));
  router.Add(JsonPost("/api/selection", context, [&selection](const HttpRequest& req, HttpResponse& res) {
    std::string error;
    if (!selection.Set(json::parse(req.body, nullptr, false), error)) return SendError(res, 400, error);
    SendJson(res, selection.Get());
  }));
}

}  // namespace velkin::studio
