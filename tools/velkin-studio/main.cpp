// velkin-studio: serves the studio's page on the loopback interface and prints its URL.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <system_error>
#include <thread>
#include <type_traits>
#include <vector>

#include "api.h"
#include "devices.h"
#include "events.h"
#include "jobs.h"
#include "platform.h"
#include "server.h"
#include "set_library.h"
#include "sounds.h"
#include "work_folder.h"

namespace {

using namespace velkin::studio;

const char* const kUsage =
    "usage: velkin-studio [--port N] [--open] [--vendor TEXT] [--product TEXT] [limits] [FILE.wav...]\n"
    "  Serves the studio on http://127.0.0.1:N/ (default 8716, or a free port when that one is\n"
    "  taken; --port 0 always takes a free one) and prints that URL on its first line.\n"
    "  --open             start the default browser on the page\n"
    "  --vendor, --product  the texts the units identify themselves with\n"
    "                     (default QUAMIRA and \"VOXA CDROM\")\n"
    "  FILE.wav           sounds to add at start\n"
    "  Limits (BYTES may end in K, M or G); a request beyond one is answered 503 (507 for the\n"
    "  work folder's size) with the reason:\n"
    "  --max-upload BYTES     the largest file accepted (default 256M)\n"
    "  --max-sounds N         sounds kept at once (default 100; delete some to add more)\n"
    "  --max-disk BYTES       what the work folder may hold (default 4G)\n"
    "  --max-queued N         encodes waiting for a worker (default 32)\n"
    "  --workers N            encodes run at once (default: one per processor core)\n"
    "  --max-streams N        event streams open at once (default 256)\n"
    "  --max-connections N    connections open at once (default: what the descriptor limit\n"
    "                         leaves room for, at most 4096)\n"
    "  Units are the real ones, or the virtual devices of the folder VELKIN_EMULATOR names.\n"
    "  Stops on Ctrl-C, SIGTERM or POST /api/shutdown, cancelling the work under way; its work\n"
    "  folder goes with it, and one left by a studio that was killed goes at the next start.\n";

// How long a stop waits for work that cannot be interrupted (an encoder call, a unit busy with its
// EEPROM) before the process ends around it.
constexpr auto kStopGrace = std::chrono::seconds(3);

struct Options {
  int port = Server::kDefaultPort;
  bool port_given = false;
  bool open = false;
  std::string vendor = "QUAMIRA";
  std::string product = "VOXA CDROM";
  ApiLimits api;
  HttpLimits http;
  SoundLimits sounds;
  PoolOptions pool;
  std::vector<std::string> files;
};

// Digits, with an optional K, M or G (binary multiples) when `sizes`; 1..max.
bool ParseCount(const std::string& text, bool sizes, std::uint64_t max, std::uint64_t& out) {
  std::uint64_t value = 0;
  std::size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value > max) return false;
    value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
  }
  if (i == 0) return false;
  if (sizes && i + 1 == text.size()) {
    const int shift = text[i] == 'K' || text[i] == 'k'   ? 10
                      : text[i] == 'M' || text[i] == 'm' ? 20
                      : text[i] == 'G' || text[i] == 'g' ? 30
                                                         : -1;
    if (shift < 0 || value > (max >> shift)) return false;
    value <<= shift;
    ++i;
  }
  if (i != text.size() || value == 0 || value > max) return false;
  out = value;
  return true;
}

bool ParseOptions(int argc, char** argv, Options& out, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&](std::string& into) {
      if (i + 1 >= argc) {
        error = arg + " needs a value";
        return false;
      }
      into = argv[++i];
      return true;
    };
    // A limit: a count or a size, stored as `T`.
    const auto limit = [&](auto& into, bool sizes, std::uint64_t max) {
      std::string text;
      std::uint64_t number = 0;
      if (!value(text)) return false;
      if (!ParseCount(text, sizes, max, number)) {
        error = "bad value '" + text + "' for " + arg;
        return false;
      }
      into = static_cast<std::remove_reference_t<decltype(into)>>(number);
      return true;
    };
    constexpr std::uint64_t kMaxBytes = std::uint64_t{1} << 50;
    std::string text;
    if (arg == "--port") {
      if (!value(text)) return false;
      char* end = nullptr;
      const long port = std::strtol(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || port < 0 || port > 65535) {
        error = "bad port '" + text + "'";
        return false;
      }
      out.port = static_cast<int>(port);
      out.port_given = true;
    } else if (arg == "--max-upload") {
      if (!limit(out.api.upload_limit, true, std::min<std::uint64_t>(kMaxBytes, SIZE_MAX))) return false;
    } else if (arg == "--max-sounds") {
      if (!limit(out.sounds.max_sounds, false, 1000000)) return false;
    } else if (arg == "--max-disk") {
      if (!limit(out.sounds.max_disk, true, kMaxBytes)) return false;
    } else if (arg == "--max-queued") {
      if (!limit(out.pool.max_queued, false, 1000000)) return false;
    } else if (arg == "--workers") {
      if (!limit(out.pool.workers, false, 256)) return false;
    } else if (arg == "--max-streams") {
      if (!limit(out.http.max_streams, false, 100000)) return false;
    } else if (arg == "--max-connections") {
      if (!limit(out.http.max_connections, false, 100000)) return false;
    } else if (arg == "--open") {
      out.open = true;
    } else if (arg == "--vendor") {
      if (!value(out.vendor)) return false;
    } else if (arg == "--product") {
      if (!value(out.product)) return false;
    } else if (arg.rfind("--", 0) == 0) {
      error = "unknown option " + arg;
      return false;
    } else {
      out.files.push_back(arg);
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string error;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::cout << kUsage;
      return 0;
    }
  }
  if (!ParseOptions(argc, argv, options, error)) {
    std::cerr << "velkin-studio: " << error << "\n" << kUsage;
    return 2;
  }

  // Before any thread starts: stop requests are taken by one thread below, and only by it.
  StopRequests stop_requests;

  WorkFolder::RemoveAbandoned();
  auto folder = WorkFolder::Create();
  if (!folder) {
    std::cerr << "velkin-studio: cannot make a work folder\n";
    return 1;
  }
  {
    EventHub events;
    JobBoard jobs(events, options.pool);
    SoundLibrary sounds(folder->path(), jobs, options.sounds);
    SetLibrary sets(folder->path(), jobs);
    DeviceHub devices({options.vendor, options.product}, events, jobs);
    Server server({events, jobs, sounds, devices, sets}, {options.api, options.http});

    const auto bound = server.Bind(options.port, !options.port_given);
    if (bound.port < 0) {
      std::cerr << "velkin-studio: cannot listen on 127.0.0.1:" << options.port << "\n";
      return 1;
    }
    if (!bound.warning.empty()) std::cerr << "velkin-studio: " << bound.warning << "\n";
    std::thread stopper;
    try {
      stopper = std::thread([&] {
        stop_requests.Wait();
        server.Stop();
      });
    } catch (const std::system_error& e) {
      std::cerr << "velkin-studio: cannot start: " << e.what() << "\n";
      return 1;
    }
    // Without a watch the studio still encodes; the page then lists no units.
    if (std::string watch_error; !devices.Start(&watch_error)) {
      std::cerr << "velkin-studio: the units cannot be watched: " << watch_error << "\n";
    }

    const std::string url = "http://127.0.0.1:" + std::to_string(bound.port) + "/";
    // Standard output carries that one line, which scripts read.
    std::cout << url << std::endl;
    if (options.open && !OpenBrowser(url))
      std::cerr << "velkin-studio: could not start a browser; open " << url << "\n";
    for (const auto& file : options.files) {
      std::error_code size_error;
      const auto size = std::filesystem::file_size(file, size_error);
      std::ifstream in(file, std::ios::binary);
      if (size_error || !in) {
        std::cerr << "velkin-studio: cannot read " << file << "\n";
        continue;
      }
      if (size > options.api.upload_limit) {
        std::cerr << "velkin-studio: " << file << " is larger than --max-upload\n";
        continue;
      }
      const std::string bytes((std::istreambuf_iterator<char>(in)), {});
      const std::string name = file.substr(file.find_last_of("/\\") + 1);
      const auto added = sounds.Add(name, bytes);
      if (!added.sound || !sounds.Encode(added.sound, EncodeSettings{}).job) {
        std::cerr << "velkin-studio: " << file << " was not taken (--max-sounds, --max-queued, --max-disk)\n";
      }
    }

    server.Serve();
    // Served to the end (shutdown request or stop request): end the wait if it still runs.
    stop_requests.Release();
    stopper.join();
    devices.Stop();
    if (!jobs.Stop(kStopGrace)) {
      // Work still inside a call that does not return on request: it is cancelled, its results
      // would be discarded, and the process ends around it once the work folder has gone.
      folder.reset();
      std::cerr.flush();
      std::_Exit(0);
    }
  }
  return 0;
}
