// Units: the list, an EEPROM record written, programming one unit or a tray.
#include "api.h"
#include "devices.h"
#include "sounds.h"

namespace velkin::studio {
namespace {

using nlohmann::json;

constexpr const char* kUnitBusy = "the unit has a job running";

}  // namespace

void AddUnitRoutes(Router& router, const ApiContext& context) {
  DeviceHub& devices = context.parts.devices;
  SoundLibrary& sounds = context.parts.sounds;

  router.Add(Get("/api/devices", [&devices](const HttpRequest&, HttpResponse& res) { SendJson(res, devices.List()); }));

  router.Add(
      JsonPost("/api/devices/*/eeprom", context, [&context, &devices](const HttpRequest& req, HttpResponse& res) {
        const auto unit = devices.Find(req.matches[0]);
        if (!unit) return SendError(res, 404, "no such unit");
        const json body = json::parse(req.body, nullptr, false);
        std::uint8_t record[16];
        if (!body.is_object() || !body.contains("record") || !body["record"].is_string() ||
            !ParseRecord(body["record"].get<std::string>(), record)) {
          return SendError(res, 400, "record must be 32 hexadecimal digits");
        }
        const auto started = devices.WriteRecord(unit, record);
        if (!started.job) return SendRefusal(res, started.refusal, context, kUnitBusy);
        SendJson(res, {{"job", started.job->Snapshot()}}, 202);
      }));

  router.Add(
      JsonPost("/api/program", context, [&context, &devices, &sounds](const HttpRequest& req, HttpResponse& res) {
        const json body = json::parse(req.body, nullptr, false);
        if (!body.is_object()) return SendError(res, 400, "expected a JSON object");
        const auto id = body.contains("sound") && body["sound"].is_number_unsigned()
                            ? std::optional<std::uint64_t>(body["sound"].get<std::uint64_t>())
                            : std::nullopt;
        const auto sound = id ? sounds.Find(*id) : nullptr;
        if (!sound) return SendError(res, 404, "no such sound");
        const json encoding_field = body.value("encoding", json("vossik"));
        if (encoding_field != "tarpel" && encoding_field != "vossik") {
          return SendError(res, 400, "encoding must be \"tarpel\" or \"vossik\"");
        }
        const std::string encoding = encoding_field.get<std::string>();
        ProgramRequest request;
        const auto code = sound->CodeFile(encoding);
        if (!code) return SendError(res, 409, "the sound has no " + encoding + " code file (not encoded yet?)");
        request.sound_file = code->string();
        if (body.contains("record") && !body["record"].is_null()) {
          if (!body["record"].is_string() || !ParseRecord(body["record"].get<std::string>(), request.record)) {
            return SendError(res, 400, "record must be 32 hexadecimal digits");
          }
          request.with_record = true;
        }
        std::vector<std::shared_ptr<Unit>> units;
        const json names = body.value("units", json("all"));
        if (names == "all") {
          units = devices.All();
        } else if (names.is_array()) {
          for (const auto& name : names) {
            const auto unit = name.is_string() ? devices.Find(name.get<std::string>()) : nullptr;
            if (!unit) return SendError(res, 404, "no such unit: " + JsonText(name));
            units.push_back(unit);
          }
        } else {
          return SendError(res, 400, "units must be \"all\" or a list of unit names");
        }
        if (units.empty()) return SendError(res, 404, "no units present");
        json jobs = json::array();
        json refused = json::array();
        for (const auto& unit : units) {
          const auto started = devices.Program(unit, request);
          if (started.job) {
            jobs.push_back(started.job->Snapshot());
          } else {
            refused.push_back(
                {{"unit", unit->name()}, {"error", AnswerTo(started.refusal, context, kUnitBusy).message}});
          }
        }
        SendJson(res, {{"jobs", jobs}, {"refused", refused}}, jobs.empty() ? 409 : 202);
      }));
}

}  // namespace velkin::studio
