// Requests of any bytes, given to the studio's routing in-process as its HTTP layer gives them: the
// screening of the head (Host, Origin, fetch site, content type, declared size, the routes' own
// limits), the paths and queries of every route, the JSON bodies, uploads of any content, deletes.
// The input is a request as it travels: a request line, header lines, a blank line, the body. The
// HTTP library's own parser is not what is fuzzed here; a Host naming the studio is added when the
// input gives none, so that most inputs reach the routes.
// Nothing may crash or hang; every answer has a status; every error answer says why in JSON; every
// JSON answer is well-formed (so names and texts of any bytes reach the page as text).
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include <nlohmann/json.hpp>

#include "tools/velkin-studio/api.h"
#include "tools/velkin-studio/devices.h"
#include "tools/velkin-studio/events.h"
#include "tools/velkin-studio/jobs.h"
#include "tools/velkin-studio/platform.h"
#include "tools/velkin-studio/set_library.h"
#include "tools/velkin-studio/sounds.h"

namespace {

using namespace velkin::studio;
namespace fs = std::filesystem;

constexpr int kPort = 8716;

fs::path Folder() {
  std::error_code error;
  static const fs::path folder =
      fs::temp_directory_path(error) / ("velkin-fuzz-studio-" + std::to_string(CurrentProcessId()));
  return folder;
}

// One studio for the whole run, as the program has one; small limits so that they are met.
struct Studio {
  static PoolOptions Pool() {
    PoolOptions pool;
    pool.workers = 1;
    pool.max_queued = 4;
    pool.kept = 64;
    return pool;
  }
  static SoundLimits Limits() {
    SoundLimits limits;
    limits.max_sounds = 8;
    limits.max_disk = 16u << 20;
    return limits;
  }

  explicit Studio(const fs::path& folder)
      : jobs(events, Pool()),
        sounds(folder, jobs, Limits()),
        sets(folder, jobs),
        devices(velkin::programming::MatchTexts{}, events, jobs),
        api({events, jobs, sounds, devices, sets}, ApiLimits{1u << 20, 8u << 10}, [] {}) {
    api.Listen(kPort);
  }

  EventHub events;
  JobBoard jobs;
  SoundLibrary sounds;
  SetLibrary sets;
  DeviceHub devices;
  StudioApi api;
};

Studio& TheStudio() {
  // Made once and left to the end of the process, with its worker; its folder goes at exit.
  static Studio* studio = [] {
    std::error_code error;
    fs::create_directories(Folder(), error);
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(Folder(), ignored);
    });
    return new Studio(Folder());
  }();
  return *studio;
}

std::string_view NextLine(std::string_view& text) {
  const auto end = text.find("\r\n");
  const std::string_view line = text.substr(0, end);
  text = end == std::string_view::npos ? std::string_view() : text.substr(end + 2);
  return line;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Studio& studio = TheStudio();
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto blank = input.find("\r\n\r\n");
  std::string_view head = input.substr(0, blank);
  const std::string_view body = blank == std::string_view::npos ? std::string_view() : input.substr(blank + 4);

  HttpRequest request;
  const std::string_view line = NextLine(head);
  const auto space = line.find(' ');
  const std::string_view method = line.substr(0, space);
  std::string_view target = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
  target = target.substr(0, target.find(' '));
  request.method = MethodOf(method);
  ParseTarget(target, request);
  while (!head.empty()) {
    const std::string_view field = NextLine(head);
    const auto colon = field.find(':');
    if (colon == std::string_view::npos || colon == 0) continue;
    request.headers.emplace_back(std::string(field.substr(0, colon)), std::string(Trim(field.substr(colon + 1))));
  }
  if (!request.HasHeader("Host")) request.headers.emplace_back("Host", "127.0.0.1:" + std::to_string(kPort));
  // The length a head declares is the body's own here (a longer declared one is checked on its
  // own): the HTTP layer never hands on a body of another length.
  const std::string declared = request.Header("Content-Length");
  if (!declared.empty() || !body.empty()) request.declared_length = body.size();
  if (!declared.empty() && declared.size() < 19 && declared.find_first_not_of("0123456789") == std::string::npos) {
    request.declared_length = std::stoull(declared);
  }
  request.body = std::string(body);

  const HttpResponse response = studio.api.router().Handle(request);
  if (response.status < 100 || response.status > 599) std::abort();
  if (response.feed) {
    // An event stream: what it has now, without waiting for more.
    (void)response.feed->Take();
    return 0;
  }
  if (response.after_send) response.after_send();
  if (!response.file.empty()) return 0;
  if (response.content_type == "application/json") {
    const auto json = nlohmann::json::parse(response.body, nullptr, false);
    if (json.is_discarded()) std::abort();
    if (response.status >= 400 && (!json.is_object() || !json.contains("error") || !json["error"].is_string())) {
      std::abort();
    }
  } else if (response.status >= 400) {
    std::abort();  // every refusal says why, in JSON
  }
  return 0;
}
