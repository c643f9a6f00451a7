// velkin-studio: serves the studio's page on the loopback interface and prints its URL.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "devices.h"
#include "events.h"
#include "jobs.h"
#include "platform.h"
#include "server.h"
#include "sounds.h"
#include "work_folder.h"

namespace {

using namespace velkin::studio;

const char* const kUsage =
    "usage: velkin-studio [--port N] [--open] [--vendor TEXT] [--product TEXT] [--max-upload BYTES]\n"
    "                     [FILE.wav...]\n"
    "  Serves the studio on http://127.0.0.1:N/ (default 8716, or a free port when that one is\n"
    "  taken; --port 0 always takes a free one) and prints that URL on its first line.\n"
    "  --open             start the default browser on the page\n"
    "  --vendor, --product  the texts the units identify themselves with\n"
    "                     (default QUAMIRA and \"VOXA CDROM\")\n"
    "  --max-upload BYTES   the largest file accepted (default 256 MiB)\n"
    "  FILE.wav           sounds to add at start\n"
    "  Units are the real ones, or the virtual devices of the folder VELKIN_EMULATOR names.\n"
    "  Stops on Ctrl-C, SIGTERM or POST /api/shutdown; its work folder goes with it.\n";

struct Options {
  int port = Server::kDefaultPort;
  bool port_given = false;
  bool open = false;
  std::size_t upload_limit = Server::kUploadLimit;
  std::string vendor = "QUAMIRA";
  std::string product = "VOXA CDROM";
  std::vector<std::string> files;
};

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
      if (!value(text)) return false;
      char* end = nullptr;
      const unsigned long long limit = std::strtoull(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || limit == 0) {
        error = "bad upload limit '" + text + "'";
        return false;
      }
      out.upload_limit = static_cast<std::size_t>(limit);
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

  auto folder = WorkFolder::Create();
  if (!folder) {
    std::cerr << "velkin-studio: cannot make a work folder\n";
    return 1;
  }
  int status = 0;
  {
    EventHub events;
    JobBoard jobs(events);
    SoundLibrary sounds(folder->path(), jobs);
    DeviceHub devices(options.vendor, options.product, events, jobs);
    Server server({events, jobs, sounds, devices}, options.upload_limit);

    const int port = server.Bind(options.port, !options.port_given);
    if (port < 0) {
      std::cerr << "velkin-studio: cannot listen on 127.0.0.1:" << options.port << "\n";
      return 1;
    }
    devices.Start();

    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
    // Standard output carries that one line, which scripts read.
    std::cout << url << std::endl;
    if (options.open && !OpenBrowser(url))
      std::cerr << "velkin-studio: could not start a browser; open " << url << "\n";
    for (const auto& file : options.files) {
      std::ifstream in(file, std::ios::binary);
      if (!in) {
        std::cerr << "velkin-studio: cannot read " << file << "\n";
        continue;
      }
      const std::string bytes((std::istreambuf_iterator<char>(in)), {});
      const std::string name = file.substr(file.find_last_of("/\\") + 1);
      if (auto sound = sounds.Add(name, bytes)) sounds.Encode(sound, EncodeSettings{});
    }

    std::thread stopper([&] {
      stop_requests.Wait();
      server.Stop();
    });
    server.Serve();
    // Served to the end (shutdown request or stop request): end the wait if it still runs.
    stop_requests.Release();
    stopper.join();
    devices.Stop();
    jobs.JoinAll();
  }
  return status;
}
