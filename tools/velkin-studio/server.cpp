#include "server.h"

#include <array>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "devices.h"
#include "events.h"
#include "http_server.h"
#include "jobs.h"
#include "sounds.h"
#include "web_assets.h"

namespace velkin::studio {
namespace {

using nlohmann::json;

void SendJson(HttpResponse& res, const json& body, int status = 200) {
  res.status = status;
  res.SetContent(body.dump(), "application/json");
}

void SendError(HttpResponse& res, int status, const std::string& message) {
  SendJson(res, {{"error", message}}, status);
}

// Numbers from the path: digits only, so nothing else can be smuggled in.
std::optional<std::uint64_t> IdOf(const std::string& text) {
  if (text.empty() || text.size() > 12) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

}  // namespace

struct Server::Impl {
  Impl(ServerParts p, std::size_t limit);

  ServerParts parts;
  std::size_t upload_limit;
  HttpServer http;
  // Stops the server after a shutdown request has been answered; joined by ~Server.
  std::once_flag shutdown_once;
  std::thread shutdown_thread;
  std::set<std::string> hosts;    // accepted Host headers
  std::set<std::string> origins;  // accepted Origin headers

  bool Allowed(const HttpRequest& req, HttpResponse& res) const;
  void Routes();
};

bool Server::Impl::Allowed(const HttpRequest& req, HttpResponse& res) const {
  // A page from elsewhere that resolves its own name to 127.0.0.1 (DNS rebinding) still sends its
  // own name as Host; a foreign page posting here sends its own Origin. Both are turned away.
  const std::string host = req.Header("Host");
  if (hosts.count(host) == 0) {
    SendError(res, 403, "foreign Host refused");
    return false;
  }
  if (req.HasHeader("Origin") && origins.count(req.Header("Origin")) == 0) {
    SendError(res, 403, "foreign Origin refused");
    return false;
  }
  return true;
}

Server::Impl::Impl(ServerParts p, std::size_t limit)
    : parts(p),
      upload_limit(limit),
      http(HttpOptions{.body_limit = limit,
                       .admit = [this](const HttpRequest& req, HttpResponse& res) { return Allowed(req, res); },
                       // Answers the HTTP layer gives by itself (no route, upload too large) carry a JSON reason too.
                       .on_error =
                           [](HttpResponse& res) {
                             const char* reason =
                                 res.status == 404 ? "not found"
                                 : res.status == 413
                                     ? "upload too large (or not sent as a file: use Content-Type audio/wav)"
                                 : res.status == 500 ? "internal error"
                                                     : "request refused";
                             SendError(res, res.status, reason);
                           },
                       .default_headers = {{"X-Content-Type-Options", "nosniff"}, {"Cache-Control", "no-store"}}}) {
  Routes();
}

void Server::Impl::Routes() {
  HttpServer& server = http;
  // The page.
  server.Get(R"(/|/([A-Za-z0-9_-]+\.(?:html|js|css)))", [](const HttpRequest& req, HttpResponse& res) {
    const std::string name = req.matches.size() > 1 && !req.matches[1].empty() ? req.matches[1] : "index.html";
    for (const WebAsset& asset : WebAssets()) {
      if (name == asset.name) {
        res.SetContent(std::string(reinterpret_cast<const char*>(asset.data), asset.size), asset.type);
        return;
      }
    }
    SendError(res, 404, "no such page");
  });

  server.Get("/api/info", [this](const HttpRequest&, HttpResponse& res) {
    const EncodeSettings defaults;
    SendJson(res,
             {{"name", "velkin-studio"},
              {"upload_limit", upload_limit},
              {"defaults", {{"rate", defaults.rate}, {"clock", defaults.clock}, {"threshold", defaults.threshold}}}});
  });

  // Sounds.
  server.Get("/api/sounds", [this](const HttpRequest&, HttpResponse& res) { SendJson(res, parts.sounds.List()); });
  server.Post("/api/sounds", [this](const HttpRequest& req, HttpResponse& res) {
    EncodeSettings settings;
    std::string error;
    if (!ParseEncodeSettings(req.Param("rate"), req.Param("clock"), req.Param("threshold"), settings, error)) {
      return SendError(res, 400, error);
    }
    if (req.body.empty()) return SendError(res, 400, "the request carries no file");
    const auto sound = parts.sounds.Add(req.Param("name"), req.body);
    if (!sound) return SendError(res, 500, "cannot store the file");
    const auto job = parts.sounds.Encode(sound, settings);
    SendJson(res, {{"sound", sound->Summary()}, {"job", job->Snapshot()}}, 201);
  });
  server.Get(R"(/api/sounds/([^/]+))", [this](const HttpRequest& req, HttpResponse& res) {
    const auto id = IdOf(req.matches[1]);
    const auto sound = id ? parts.sounds.Find(*id) : nullptr;
    if (!sound) return SendError(res, 404, "no such sound");
    SendJson(res, sound->Summary());
  });
  server.Post(R"(/api/sounds/([^/]+)/encode)", [this](const HttpRequest& req, HttpResponse& res) {
    const auto id = IdOf(req.matches[1]);
    const auto sound = id ? parts.sounds.Find(*id) : nullptr;
    if (!sound) return SendError(res, 404, "no such sound");
    EncodeSettings settings;
    std::string error;
    if (!ParseEncodeSettings(req.Param("rate"), req.Param("clock"), req.Param("threshold"), settings, error)) {
      return SendError(res, 400, error);
    }
    const auto job = parts.sounds.Encode(sound, settings);
    if (!job) return SendError(res, 409, "the sound is being encoded already");
    SendJson(res, {{"job", job->Snapshot()}}, 202);
  });
  server.Get(R"(/api/sounds/([^/]+)/files/([^/]+))", [this](const HttpRequest& req, HttpResponse& res) {
    const auto id = IdOf(req.matches[1]);
    const auto sound = id ? parts.sounds.Find(*id) : nullptr;
    const auto path = sound ? SoundLibrary::Downloadable(*sound, req.matches[2]) : std::nullopt;
    if (!path) return SendError(res, 404, "no such file");
    std::ifstream in(*path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    const bool wav = path->extension() == ".wav";
    res.headers.emplace_back("Content-Disposition", "attachment; filename=\"sound" + std::to_string(*id) + "-" +
                                                        path->filename().string() + "\"");
    res.SetContent(std::move(bytes), wav ? "audio/wav" : "application/octet-stream");
  });
  server.Get(R"(/api/sounds/([^/]+)/spectrogram/([a-z]+))", [this](const HttpRequest& req, HttpResponse& res) {
    const auto id = IdOf(req.matches[1]);
    const auto sound = id ? parts.sounds.Find(*id) : nullptr;
    const auto picture = sound ? sound->SpectrogramOf(req.matches[2]) : nullptr;
    if (!picture) return SendError(res, 404, "no such spectrogram");
    // Columns of bins, one byte each; the shape travels in headers.
    res.headers.emplace_back("X-Columns", std::to_string(picture->columns));
    res.headers.emplace_back("X-Rows", std::to_string(picture->rows));
    res.headers.emplace_back("X-Hop", std::to_string(picture->hop));
    res.SetContent(std::string(picture->cells.begin(), picture->cells.end()), "application/octet-stream");
  });

  // Devices.
  server.Get("/api/devices", [this](const HttpRequest&, HttpResponse& res) { SendJson(res, parts.devices.List()); });
  server.Post(R"(/api/devices/([^/]+)/eeprom)", [this](const HttpRequest& req, HttpResponse& res) {
    const auto unit = parts.devices.Find(req.matches[1]);
    if (!unit) return SendError(res, 404, "no such unit");
    const json body = json::parse(req.body, nullptr, false);
    std::uint8_t record[16];
    if (!body.is_object() || !body.contains("record") || !body["record"].is_string() ||
        !ParseRecord(body["record"].get<std::string>(), record)) {
      return SendError(res, 400, "record must be 32 hexadecimal digits");
    }
    const std::string error = parts.devices.WriteRecord(unit, record);
    if (!error.empty()) return SendError(res, error == "the unit has a job running" ? 409 : 502, error);
    std::lock_guard guard(unit->identity_lock);
    SendJson(res, unit->identity);
  });
  server.Post("/api/program", [this](const HttpRequest& req, HttpResponse& res) {
    const json body = json::parse(req.body, nullptr, false);
    if (!body.is_object()) return SendError(res, 400, "expected a JSON object");
    const auto id = body.contains("sound") && body["sound"].is_number_unsigned()
                        ? std::optional<std::uint64_t>(body["sound"].get<std::uint64_t>())
                        : std::nullopt;
    const auto sound = id ? parts.sounds.Find(*id) : nullptr;
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
      units = parts.devices.All();
    } else if (names.is_array()) {
      for (const auto& name : names) {
        const auto unit = name.is_string() ? parts.devices.Find(name.get<std::string>()) : nullptr;
        if (!unit) return SendError(res, 404, "no such unit: " + name.dump());
        units.push_back(unit);
      }
    } else {
      return SendError(res, 400, "units must be \"all\" or a list of unit names");
    }
    if (units.empty()) return SendError(res, 404, "no units present");
    json jobs = json::array();
    json refused = json::array();
    for (const auto& unit : units) {
      if (const auto job = parts.devices.Program(unit, request)) {
        jobs.push_back(job->Snapshot());
      } else {
        refused.push_back({{"unit", unit->name()}, {"error", "the unit has a job running"}});
      }
    }
    SendJson(res, {{"jobs", jobs}, {"refused", refused}}, jobs.empty() ? 409 : 202);
  });

  // Jobs and events.
  server.Get("/api/jobs", [this](const HttpRequest&, HttpResponse& res) { SendJson(res, parts.jobs.List()); });
  server.Get(R"(/api/jobs/([^/]+))", [this](const HttpRequest& req, HttpResponse& res) {
    const auto id = IdOf(req.matches[1]);
    const auto job = id ? parts.jobs.Find(*id) : nullptr;
    if (!job) return SendError(res, 404, "no such job");
    SendJson(res, job->Snapshot());
  });
  server.Get("/api/events", [this](const HttpRequest& req, HttpResponse& res) {
    // From the newest event on, or after the last one a reconnecting client saw.
    std::uint64_t after = parts.events.Latest();
    if (const auto last = IdOf(req.Header("Last-Event-ID"))) after = *last;
    EventHub& events = parts.events;
    res.content_type = "text/event-stream";
    res.stream = [&events, after](const StreamWrite& write) mutable {
      if (events.Closed()) return false;
      const auto batch = events.WaitAfter(after, std::chrono::seconds(10));
      std::string text = batch.empty() ? ": keep-alive\n\n" : "";
      for (const Event& event : batch) {
        text += EventHub::Format(event);
        after = event.id;
      }
      return !events.Closed() && write(text);
    };
  });
  server.Post("/api/shutdown", [this](const HttpRequest&, HttpResponse& res) {
    SendJson(res, {{"stopping", true}});
    // After the answer has gone out.
    std::call_once(shutdown_once, [this] {
      shutdown_thread = std::thread([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        parts.events.Close();
        http.Stop();
      });
    });
  });
}

Server::Server(ServerParts parts, std::size_t upload_limit) : impl_(std::make_unique<Impl>(parts, upload_limit)) {}

Server::~Server() {
  Stop();
  // Taken once more so that a shutdown request still being answered has made its thread.
  std::call_once(impl_->shutdown_once, [] {});
  if (impl_->shutdown_thread.joinable()) impl_->shutdown_thread.join();
}

int Server::Bind(int port, bool fallback) {
  int bound = -1;
  if (port != 0) bound = impl_->http.Bind("127.0.0.1", port);
  if (bound < 0 && (port == 0 || fallback)) bound = impl_->http.Bind("127.0.0.1", 0);
  if (bound <= 0) return -1;
  // IPv6 where the system has it; the page is reached on 127.0.0.1 either way.
  impl_->http.Bind("::1", bound);
  const std::string p = std::to_string(bound);
  for (const char* name : {"127.0.0.1", "localhost", "[::1]"}) {
    impl_->hosts.insert(std::string(name) + ":" + p);
    impl_->origins.insert("http://" + std::string(name) + ":" + p);
  }
  return bound;
}

void Server::Serve() {
  impl_->http.Serve();
}

void Server::Stop() {
  impl_->parts.events.Close();
  impl_->http.Stop();
}

}  // namespace velkin::studio
