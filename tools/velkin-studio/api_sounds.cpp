// Sounds: upload, list, look at, encode again, rename, download, delete.
#include <cctype>
#include <cstdio>
#include <string_view>
#include <system_error>

#include "api.h"
#include "sounds.h"

namespace velkin::studio {
namespace {

using nlohmann::json;

bool Settings(const HttpRequest& req, EncodeSettings& settings, std::string& error) {
  return ParseEncodeSettings(req.Param("rate"), req.Param("clock"), req.Param("threshold"), settings, error);
}

}  // namespace

// An attachment saved under `name` (UTF-8, no control characters): a plain quoted name for every
// browser, and where that had to lose characters, the name itself percent-encoded beside it.
std::string Attachment(const std::string& name) {
  std::string plain;
  std::string encoded;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    const bool safe = byte >= 0x20 && byte < 0x7F && c != '"' && c != '\\' && c != '/' && c != '%';
    // One stand-in for each character, not for each of its bytes.
    if (safe) {
      plain += c;
    } else if ((byte & 0xC0) != 0x80) {
      plain += '_';
    }
    if (std::isalnum(byte) || std::string_view("!#$&+-.^_`|~").find(c) != std::string_view::npos) {
      encoded += c;
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", byte);
      encoded += hex;
    }
  }
  std::string header = "attachment; filename=\"" + plain + "\"";
  if (plain != name) header += "; filename*=UTF-8''" + encoded;
  return header;
}

void AddSoundRoutes(Router& router, const ApiContext& context) {
  SoundLibrary& sounds = context.parts.sounds;

  router.Add(Get("/api/sounds", [&sounds](const HttpRequest&, HttpResponse& res) { SendJson(res, sounds.List()); }));

  Route upload = WavUpload("/api/sounds", context);
  // Settings, the number of sounds, the queue and the room left are all known from the head: a
  // refused upload is never sent, let alone stored.
  upload.precheck = [&context, &sounds](const HttpRequest& req, HttpResponse& res) {
    EncodeSettings settings;
    std::string error;
    if (!Settings(req, settings, error)) {
      SendError(res, 400, error);
      return false;
    }
    if (const Refusal refusal = sounds.CanAdd(req.declared_length); refusal != Refusal::kNone) {
      SendRefusal(res, refusal, context);
      return false;
    }
    return true;
  };
  upload.handler = [&context, &sounds](const HttpRequest& req, HttpResponse& res) {
    EncodeSettings settings;
    std::string error;
    if (!Settings(req, settings, error)) return SendError(res, 400, error);
    std::error_code size_error;
    if (req.body_file.empty() || std::filesystem::file_size(req.body_file, size_error) == 0) {
      return SendError(res, 400, "the request carries no file");
    }
    const auto added = sounds.AddFile(req.Param("name"), req.body_file);
    if (!added.sound) return SendRefusal(res, added.refusal, context);
    const auto started = sounds.Encode(added.sound, settings);
    if (!started.job) {
      // Taken whole or not at all: a sound that cannot be encoded now is not kept half-made.
      sounds.Delete(added.sound->id());
      return SendRefusal(res, started.refusal, context);
    }
    SendJson(res, {{"sound", added.sound->Summary()}, {"job", started.job->Snapshot()}}, 201);
  };
  router.Add(std::move(upload));

  router.Add(Get("/api/sounds/*", [&sounds](const HttpRequest& req, HttpResponse& res) {
    if (const auto sound = SoundOr404(sounds, req, res)) SendJson(res, sound->Summary());
  }));

  router.Add(Delete("/api/sounds/*", [&sounds](const HttpRequest& req, HttpResponse& res) {
    const auto sound = SoundOr404(sounds, req, res);
    if (!sound || !sounds.Delete(sound->id())) return SendError(res, 404, "no such sound");
    SendJson(res, {{"deleted", sound->id()}});
  }));

  router.Add(JsonPost("/api/sounds/*/encode", context, [&context, &sounds](const HttpRequest& req, HttpResponse& res) {
    const auto sound = SoundOr404(sounds, req, res);
    if (!sound) return;
    EncodeSettings settings;
    std::string error;
    if (!Settings(req, settings, error)) return SendError(res, 400, error);
    const auto started = sounds.Encode(sound, settings);
    if (!started.job) return SendRefusal(res, started.refusal, context, "the sound is being encoded already");
    SendJson(res, {{"job", started.job->Snapshot()}}, 202);
  }));

  router.Add(JsonPost("/api/sounds/*/rename", context, [&sounds](const HttpRequest& req, HttpResponse& res) {
    const auto sound = SoundOr404(sounds, req, res);
    if (!sound) return;
    const json body = json::parse(req.body, nullptr, false);
    if (!body.is_object() || !body.contains("name") || !body["name"].is_string()) {
      return SendError(res, 400, "expected {\"name\": \"...\"}");
    }
    if (!sounds.Rename(sound, body["name"].get<std::string>())) return SendError(res, 400, "the name is empty");
    SendJson(res, sound->Summary());
  }));

  // Served from disk by the HTTP layer, a piece at a time.
  router.Add(Get("/api/sounds/*/files/*", [&sounds](const HttpRequest& req, HttpResponse& res) {
    const auto sound = SoundOr404(sounds, req, res);
    if (!sound) return;
    const auto path = SoundLibrary::Downloadable(*sound, req.matches[1]);
    if (!path) return SendError(res, 404, "no such file");
    const bool wav = path->extension() == ".wav";
    res.headers.emplace_back("Content-Disposition",
                             Attachment(SoundLibrary::DownloadName(sound->name(), path->filename().string())));
    res.content_type = wav ? "audio/wav" : "application/octet-stream";
    res.file = *path;
  }));

  router.Add(Get("/api/sounds/*/spectrogram/*", [&sounds](const HttpRequest& req, HttpResponse& res) {
    const auto sound = SoundOr404(sounds, req, res);
    if (!sound) return;
    const auto picture = sound->SpectrogramOf(req.matches[1]);
    if (!picture) return SendError(res, 404, "no such spectrogram");
    // Columns of bins, one byte each; the shape travels in headers.
    res.headers.emplace_back("X-Columns", std::to_string(picture->columns));
    res.headers.emplace_back("X-Rows", std::to_string(picture->rows));
    res.headers.emplace_back("X-Hop", std::to_string(picture->hop));
    res.SetContent(std::string(picture->cells.begin(), picture->cells.end()), "application/octet-stream");
  }));
}

}  // namespace velkin::studio
