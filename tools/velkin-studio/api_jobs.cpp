// Jobs and the event stream that reports them.
#include "api.h"
#include "events.h"

namespace velkin::studio {

void AddJobRoutes(Router& router, const ApiContext& context) {
  JobBoard& jobs = context.parts.jobs;
  EventHub& events = context.parts.events;

  router.Add(Get("/api/jobs", [&jobs](const HttpRequest&, HttpResponse& res) { SendJson(res, jobs.List()); }));

  router.Add(Get("/api/jobs/*", [&jobs](const HttpRequest& req, HttpResponse& res) {
    const auto id = IdOf(req.matches[0]);
    const auto job = id ? jobs.Find(*id) : nullptr;
    if (!job) return SendError(res, 404, "no such job");
    SendJson(res, job->Snapshot());
  }));

  // Asks a job to stop; it ends "cancelled" at its next step (a unit's command, a set's candidate).
  router.Add(JsonPost("/api/jobs/*/cancel", context, [&jobs](const HttpRequest& req, HttpResponse& res) {
    const auto id = IdOf(req.matches[0]);
    const auto job = id ? jobs.Find(*id) : nullptr;
    if (!job) return SendError(res, 404, "no such job");
    job->Cancel();
    SendJson(res, job->Snapshot(), 202);
  }));

  // Written by the HTTP layer as events come, on its own threads.
  router.Add(Get("/api/events", [&events](const HttpRequest& req, HttpResponse& res) {
    // From the newest event on, or after the last one a reconnecting client saw.
    std::uint64_t after = events.Latest();
    if (const auto last = IdOf(req.Header("Last-Event-ID"))) after = *last;
    res.content_type = "text/event-stream";
    res.feed = events.Feed(after);
  }));
}

}  // namespace velkin::studio
