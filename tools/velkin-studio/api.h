// The studio's HTTP API on a router: who may ask (this machine's own page and scripts, nobody
// else), and what each resource answers. The routes are grouped by resource, one file each
// (api_sounds.cpp, api_units.cpp, api_jobs.cpp); long work is only started here, as jobs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "jobs.h"
#include "router.h"
#include "selection.h"

namespace velkin::studio {

class DeviceHub;
class EventHub;
class JobBoard;
class SetLibrary;
class Sound;
class SoundLibrary;
struct ProgramRequest;

struct ServerParts {
  EventHub& events;
  JobBoard& jobs;
  SoundLibrary& sounds;
  DeviceHub& devices;
  SetLibrary& sets;
};

struct ApiLimits {
  // The largest upload taken (a sound's WAV file).
  std::size_t upload_limit = 256u << 20;
  // The largest body any other request takes: JSON of a few fields.
  std::size_t json_limit = 8u << 10;
};

struct ApiContext {
  ServerParts parts;
  ApiLimits limits;
  // What the page has chosen, kept for a page that comes back.
  Selection* selection;
  // Stops the studio; called once the answer to a shutdown request has gone out.
  std::function<void()> stop;
};

class StudioApi {
 public:
  StudioApi(ServerParts parts, ApiLimits limits, std::function<void()> stop);

  // Takes requests addressed to this port from here on (Host and Origin name it).
  void Listen(int port);
  const Router& router() const { return router_; }

 private:
  bool Admit(const HttpRequest& req, HttpResponse& res) const;

  Selection selection_;
  ApiContext context_;
  std::set<std::string> hosts_;    // accepted Host headers
  std::set<std::string> origins_;  // accepted Origin headers
  Router router_;
};

// What the route files share.
void SendJson(HttpResponse& res, const nlohmann::json& body, int status = 200);
void SendError(HttpResponse& res, int status, const std::string& message);
// A job or a sound that was not made, as the status and words a client can act on; `busy` says
// what a kBusy refusal means for this request.
struct RefusalAnswer {
  int status;
  std::string message;
};
RefusalAnswer AnswerTo(Refusal refusal, const ApiContext& context, const std::string& busy = {});
void SendRefusal(HttpResponse& res, Refusal refusal, const ApiContext& context, const std::string& busy = {});
// Numbers from the path: digits only, so nothing else can be smuggled in.
std::optional<std::uint64_t> IdOf(const std::string& text);
// The sound the path's first wildcard names; null with a 404 in `res` when there is none.
std::shared_ptr<Sound> SoundOr404(SoundLibrary& sounds, const HttpRequest& req, HttpResponse& res);
// A Content-Disposition value that saves the answer as `name` (UTF-8) in every browser.
std::string Attachment(const std::string& name);
// A route that takes no body.
Route Get(std::string pattern, HttpHandler handler);
Route Delete(std::string pattern, HttpHandler handler);
// The route for a POST that takes a WAV file (up to the upload limit), written to disk as it comes.
Route WavUpload(std::string pattern, const ApiContext& context);
// The route for a POST that takes a small JSON body (or none).
Route JsonPost(std::string pattern, const ApiContext& context, HttpHandler handler);

void AddSoundRoutes(Router& router, const ApiContext& context);
void AddUnitRoutes(Router& router, const ApiContext& context);
void AddJobRoutes(Router& router, const ApiContext& context);
void AddSetRoutes(Router& router, const ApiContext& context);
// The built image of set `id` for programming; false with the answer in `res` when it has none.
bool SetImageFor(const ApiContext& context, std::uint64_t id, ProgramRequest& request, HttpResponse& res);

}  // namespace velkin::studio
