// Sound sets: made, filled with clips, ordered and set up, opened from a set file and saved as
// one, built (fitted first where the set leaves a choice), listened to and downloaded. Programming
// a set's image goes through /api/program, as a sound's does.
#include <system_error>

#include "api.h"
#include "devices.h"
#include "set_library.h"
#include "sounds.h"

namespace velkin::studio {
namespace {

using nlohmann::json;

std::shared_ptr<StudioSet> SetOr404(SetLibrary& sets, const HttpRequest& req, HttpResponse& res) {
  const auto id = req.matches.empty() ? std::nullopt : IdOf(req.matches[0]);
  auto set = id ? sets.Find(*id) : nullptr;
  if (!set) SendError(res, 404, "no such set");
  return set;
}

void SendSetError(HttpResponse& res, const SetError& error) {
  json body = {{"error", error.message}};
  if (!error.diagnostics.is_null()) body["diagnostics"] = error.diagnostics;
  SendJson(res, body, error.status);
}

// A route that takes a text (a set file, or a set's edit) of up to the sets' own limit.
Route TextPost(std::string pattern, const ApiContext& context, std::string type, HttpHandler handler) {
  Route route = JsonPost(std::move(pattern), context, std::move(handler));
  route.body_limit = context.parts.sets.limits().text_limit;
  route.content_type = std::move(type);
  return route;
}

// Whether `bytes` more would take the work folder beyond its limit, counting sounds and sets.
bool Room(const ApiContext& context, std::optional<std::uint64_t> bytes) {
  SoundLibrary& sounds = context.parts.sounds;
  return sounds.used() + context.parts.sets.used() + bytes.value_or(0) <= sounds.limits().max_disk;
}

// The flash size of the unit named, from the units' rows; nothing when unknown.
std::optional<std::uint64_t> UnitFlash(DeviceHub& devices, const std::string& name) {
  for (const auto& row : devices.List()) {
    if (row.value("name", "") == name && row.value("present", false) && row.value("flash_size", 0u) > 0) {
      return row["flash_size"].get<std::uint64_t>();
    }
  }
  return std::nullopt;
}

}  // namespace

void AddSetRoutes(Router& router, const ApiContext& context) {
  SetLibrary& sets = context.parts.sets;

  router.Add(Get("/api/sets", [&sets](const HttpRequest&, HttpResponse& res) { SendJson(res, sets.List()); }));

  router.Add(JsonPost("/api/sets", context, [&sets](const HttpRequest& req, HttpResponse& res) {
    const json body = req.body.empty() ? json::object() : json::parse(req.body, nullptr, false);
    if (!body.is_object()) return SendError(res, 400, "expected a JSON object");
    const json name = body.value("name", json(""));
    if (!name.is_string()) return SendError(res, 400, "name must be a text");
    const auto set = sets.Create(name.get<std::string>());
    if (!set) {
      return SendError(res, 503,
                       "the studio holds " + std::to_string(sets.limits().max_sets) +
                           " sets, as many as it takes: delete some first");
    }
    SendJson(res, set->Full(), 201);
  }));

  router.Add(Get("/api/sets/*", [&sets](const HttpRequest& req, HttpResponse& res) {
    if (const auto set = SetOr404(sets, req, res)) SendJson(res, set->Full());
  }));

  router.Add(Delete("/api/sets/*", [&sets](const HttpRequest& req, HttpResponse& res) {
    const auto set = SetOr404(sets, req, res);
    if (set && sets.Delete(set->id())) SendJson(res, {{"deleted", set->id()}});
  }));

  // Settings, order and the clips' settings, all taken or none.
  router.Add(TextPost("/api/sets/*", context, "application/json", [&sets](const HttpRequest& req, HttpResponse& res) {
    const auto set = SetOr404(sets, req, res);
    if (!set) return;
    const json body = json::parse(req.body, nullptr, false);
    if (const SetError error = sets.Update(*set, body)) return SendSetError(res, error);
    SendJson(res, set->Full());
  }));

  // A clip's audio: a WAV file as the body, its file name in `name`.
  Route clip = WavUpload("/api/sets/*/clips", context);
  clip.precheck = [&context, &sets](const HttpRequest& req, HttpResponse& res) {
    const auto set = SetOr404(sets, req, res);
    if (!set) return false;
    if (req.Param("name").empty()) {
      SendError(res, 400, "name the clip's file: ?name=hello.wav");
      return false;
    }
    if (const SetError error = sets.CanAddClip(*set, req.Param("name"))) {
      SendSetError(res, error);
      return false;
    }
    if (!Room(context, req.declared_length)) {
      SendRefusal(res, Refusal::kNoSpace, context);
      return false;
    }
    return true;
  };
  clip.handler = [&sets](const HttpRequest& req, HttpResponse& res) {
    const auto set = SetOr404(sets, req, res);
    std::error_code ignored;
    if (!set || req.body_file.empty() || std::filesystem::file_size(req.body_file, ignored) == 0) {
      if (!req.body_file.empty()) std::filesystem::remove(req.body_file, ignored);
      if (set) SendError(res, 400, "the request carries no file");
      return;
    }
    json added;
    if (const SetError error = sets.AddClip(*set, req.Param("name"), req.body_file, added)) {
      return SendSetError(res, error);
    }
    SendJson(res, {{"clip", added}, {"set", set->Full()}}, 201);
  };
  router.Add(std::move(clip));

  router.Add(Delete("/api/sets/*/clips/*", [&sets](const HttpRequest& req, HttpResponse& res) {
    const auto set = SetOr404(sets, req, res);
    if (!set) return;
    const auto id = IdOf(req.matches[1]);
    if (!id) return SendError(res, 404, "no such clip");
    if (const SetError error = sets.RemoveClip(*set, *id)) return SendSetError(res, error);
    SendJson(res, set->Full());
  }));

  // The clip's file as it was added: the page plays it as the source.
  router.Add(Get("/api/sets/*/clips/*/file", [&sets](const HttpRequest& req, HttpResponse& res) {
    const auto set = SetOr404(sets, req, res);
    if (!set) return;
    const auto id = IdOf(req.matches[1]);
    const auto path = id ? sets.ClipFile(*set, *id) : std::nullopt;
    if (!path) return SendError(res, 404, "no such clip, or it has no audio yet");
    res.content_type = "audio/wav";
    res.file = *path;
  }));

  // A set file opened: its settings and clips replace the set's; the clips' files follow.
  router.Add(
      TextPost("/api/sets/*/setfile", context, "application/toml", [&sets](const HttpRequest& req, HttpResponse& res) {
        const auto set = SetOr404(sets, req, res);
        if (!set) return;
        const std::string name = req.Param("name").empty() ? "set.toml" : req.Param("name");
        if (const SetError error = sets.Import(*set, req.body, name)) return SendSetError(res, error);
        SendJson(res, set->Full());
      }));

  router.Add(Get("/api/sets/*/setfile", [&sets](const HttpRequest& req, HttpResponse& res) {
    const auto set = SetOr404(sets, req, res);
    if (!set) return;
    res.headers.emplace_back("Content-Disposition", Attachment(sets.Name(*set) + ".toml"));
    res.SetContent(sets.SetText(*set), "application/toml; charset=utf-8");
  }));

  // Fit (where the set leaves a choice) and build, as a job; `unit` gives the flash of a set
  // whose capacity is "unit".
  router.Add(JsonPost("/api/sets/*/build", context, [&context, &sets](const HttpRequest& req, HttpResponse& res) {
    const auto set = SetOr404(sets, req, res);
    if (!set) return;
    const json body = req.body.empty() ? json::object() : json::parse(req.body, nullptr, false);
    if (!body.is_object()) return SendError(res, 400, "expected a JSON object");
    std::optional<std::uint64_t> flash;
    std::string unit;
    if (body.contains("unit") && !body["unit"].is_null()) {
      if (!body["unit"].is_string()) return SendError(res, 400, "unit must be a unit's name");
      unit = body["unit"].get<std::string>();
      flash = UnitFlash(context.parts.devices, unit);
      if (!flash) return SendError(res, 404, "no such unit, or its flash size is not known: " + unit);
    }
    SetError error;
    const Started started = sets.Build(set, flash, unit, error);
    if (!started.job) return SendSetError(res, error);
    SendJson(res, {{"job", started.job->Snapshot()}}, 202);
  }));

  // The last build's files, by their fixed names: the image, the joined WAV, each encoder heard.
  router.Add(Get("/api/sets/*/files/*", [&sets](const HttpRequest& req, HttpResponse& res) {
    const auto set = SetOr404(sets, req, res);
    if (!set) return;
    const auto path = sets.BuildFile(*set, req.matches[1]);
    if (!path) return SendError(res, 404, "no such file: the set has not been built, or names no such file");
    const bool wav = path->extension() == ".wav";
    const std::string stem = sets.Name(*set);
    const std::string download = req.matches[1] == "image.cod" ? stem + ".cod" : stem + "-" + req.matches[1];
    res.headers.emplace_back("Content-Disposition", Attachment(download));
    res.content_type = wav ? "audio/wav" : "application/octet-stream";
    res.file = *path;
  }));
}

// The image of a set for /api/program; false with the answer in `res` when there is none.
bool SetImageFor(const ApiContext& context, std::uint64_t id, ProgramRequest& request, HttpResponse& res) {
  const auto set = context.parts.sets.Find(id);
  if (!set) {
    SendError(res, 404, "no such set");
    return false;
  }
  BuiltImage image;
  if (const SetError error = context.parts.sets.Image(*set, image)) {
    SendSetError(res, error);
    return false;
  }
  request.image = image.bytes;
  request.what = image.what;
  return true;
}

}  // namespace velkin::studio
