#include "api.h"

#include "events.h"
#include "sets/set_file.h"
#include "sounds.h"
#include "web_assets.h"

namespace velkin::studio {
namespace {

using nlohmann::json;

std::string MiB(std::uint64_t bytes) {
  return std::to_string(bytes >> 20) + " MiB";
}

const char* Reason(int status) {
  switch (status) {
    case 400:
      return "malformed request";
    case 403:
      return "request refused";
    case 404:
      return "not found";
    case 405:
      return "this resource does not take that method";
    case 413:
      return "the request's body is larger than this request takes";
    case 415:
      return "this request does not take that content type";
    case 500:
      return "internal error";
    case 503:
      return "the studio cannot take this now: try again later";
    case 507:
      return "the work folder is full";
    default:
      return "request refused";
  }
}

}  // namespace

void SendJson(HttpResponse& res, const json& body, int status) {
  res.status = status;
  res.SetContent(JsonText(body), "application/json");
}

void SendError(HttpResponse& res, int status, const std::string& message) {
  SendJson(res, {{"error", message}}, status);
}

RefusalAnswer AnswerTo(Refusal refusal, const ApiContext& context, const std::string& busy) {
  const SoundLibrary& sounds = context.parts.sounds;
  switch (refusal) {
    case Refusal::kNone:
      break;
    case Refusal::kBusy:
      return {409, busy.empty() ? "busy with another job" : busy};
    case Refusal::kQueueFull:
      return {503, "the studio is busy: " + std::to_string(context.parts.jobs.max_queued()) +
                       " encodes are waiting already (--max-queued); try again once some have finished"};
    case Refusal::kFull:
      return {503, "the studio holds " + std::to_string(sounds.limits().max_sounds) +
                       " sounds, as many as it takes (--max-sounds): delete some first"};
    case Refusal::kNoSpace:
      return {507, "the work folder would grow beyond its limit of " + MiB(sounds.limits().max_disk) +
                       " (--max-disk): delete some sounds first"};
    case Refusal::kStopping:
      return {503, "the studio is stopping"};
    case Refusal::kResources:
      return {503, "the studio is short of memory: try again later"};
    case Refusal::kGone:
      return {409, "the unit is not plugged in"};
  }
  return {500, "internal error"};
}

void SendRefusal(HttpResponse& res, Refusal refusal, const ApiContext& context, const std::string& busy) {
  const RefusalAnswer answer = AnswerTo(refusal, context, busy);
  SendError(res, answer.status, answer.message);
}

std::optional<std::uint64_t> IdOf(const std::string& text) {
  if (text.empty() || text.size() > 12) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

std::shared_ptr<Sound> SoundOr404(SoundLibrary& sounds, const HttpRequest& req, HttpResponse& res) {
  const auto id = req.matches.empty() ? std::nullopt : IdOf(req.matches[0]);
  auto sound = id ? sounds.Find(*id) : nullptr;
  if (!sound) SendError(res, 404, "no such sound");
  return sound;
}

Route Get(std::string pattern, HttpHandler handler) {
  Route route;
  route.method = Method::kGet;
  route.pattern = std::move(pattern);
  route.handler = std::move(handler);
  return route;
}

Route Delete(std::string pattern, HttpHandler handler) {
  Route route = Get(std::move(pattern), std::move(handler));
  route.method = Method::kDelete;
  return route;
}

namespace {

// A POST whose body is checked on its head: its media type and a size the route allows.
Route PostRoute(std::string pattern, BodyKind body, std::size_t body_limit, std::string content_type) {
  Route route;
  route.method = Method::kPost;
  route.pattern = std::move(pattern);
  route.body = body;
  route.body_limit = body_limit;
  route.content_type = std::move(content_type);
  return route;
}

}  // namespace

Route WavUpload(std::string pattern, const ApiContext& context) {
  return PostRoute(std::move(pattern), BodyKind::kFile, context.limits.upload_limit, "audio/wav");
}

Route JsonPost(std::string pattern, const ApiContext& context, HttpHandler handler) {
  Route route = PostRoute(std::move(pattern), BodyKind::kSmall, context.limits.json_limit, "application/json");
  route.handler = std::move(handler);
  return route;
}

StudioApi::StudioApi(ServerParts parts, ApiLimits limits, std::function<void()> stop)
    : context_{parts, limits, &selection_, std::move(stop)},
      router_(Router::Options{
          .admit = [this](const HttpRequest& req, HttpResponse& res) { return Admit(req, res); },
          .on_error =
              [](HttpResponse& res, const std::string& reason) {
                SendError(res, res.status, reason.empty() ? Reason(res.status) : reason);
              },
          // No page may frame this one (a click on "Program all units" under a decoy), and no
          // browser guesses a type other than the one given.
          .default_headers = {{"X-Content-Type-Options", "nosniff"},
                              {"Cache-Control", "no-store"},
                              {"Content-Security-Policy", "frame-ancestors 'none'"},
                              {"X-Frame-Options", "DENY"}},
          .spool = [this] { return context_.parts.sounds.SpoolPath(); },
      }) {
  Router& router = router_;
  const ApiContext& context = context_;

  // The page.
  const HttpHandler page = [](const HttpRequest& req, HttpResponse& res) {
    const std::string name = req.matches.empty() ? "index.html" : req.matches[0];
    for (const WebAsset& asset : WebAssets()) {
      if (name == asset.name) {
        res.SetContent(std::string(reinterpret_cast<const char*>(asset.data), asset.size), asset.type);
        return;
      }
    }
    SendError(res, 404, "no such page");
  };
  router.Add(Get("/", page));
  router.Add(Get("/*", page));

  router.Add(Get("/api/info", [&context](const HttpRequest&, HttpResponse& res) {
    const EncodeSettings defaults;
    const SoundLimits& sounds = context.parts.sounds.limits();
    SendJson(res,
             {{"name", "velkin-studio"},
              {"upload_limit", context.limits.upload_limit},
              {"max_sounds", sounds.max_sounds},
              {"max_disk", sounds.max_disk},
              {"max_queued", context.parts.jobs.max_queued()},
              {"workers", context.parts.jobs.workers()},
              {"max_clips", sets::kMaxClips},
              {"defaults", {{"rate", defaults.rate}, {"clock", defaults.clock}, {"threshold", defaults.threshold}}}});
  }));

  AddSoundRoutes(router, context);
  AddUnitRoutes(router, context);
  AddJobRoutes(router, context);
  AddSetRoutes(router, context);

  router.Add(JsonPost("/api/shutdown", context, [&context](const HttpRequest&, HttpResponse& res) {
    SendJson(res, {{"stopping", true}});
    // Once the answer has gone out.
    res.after_send = context.stop;
  }));
}

void StudioApi::Listen(int port) {
  const std::string p = std::to_string(port);
  for (const char* name : {"127.0.0.1", "localhost", "[::1]"}) {
    hosts_.insert(std::string(name) + ":" + p);
    origins_.insert("http://" + std::string(name) + ":" + p);
  }
}

bool StudioApi::Admit(const HttpRequest& req, HttpResponse& res) const {
  // A page from elsewhere that resolves its own name to 127.0.0.1 (DNS rebinding) still sends its
  // own name as Host; a foreign page posting here sends its own Origin. Both are turned away.
  if (hosts_.count(req.Header("Host")) == 0) {
    SendError(res, 403, "foreign Host refused");
    return false;
  }
  if (req.HasHeader("Origin") && origins_.count(req.Header("Origin")) == 0) {
    SendError(res, 403, "foreign Origin refused");
    return false;
  }
  // A foreign page's plain GET (an image, a script, a no-cors fetch) has no Origin, but a browser
  // says where it comes from: only the studio's own page ("same-origin") and the user typing an
  // address ("none") are served. "same-site" would be a page on another port of this machine.
  if (req.HasHeader("Sec-Fetch-Site")) {
    const std::string site = req.Header("Sec-Fetch-Site");
    if (site != "same-origin" && site != "none") {
      SendError(res, 403, "cross-site request refused");
      return false;
    }
  }
  return true;
}

}  // namespace velkin::studio
