// The studio run as a child process on a free port, with its temporary folder inside the test's
// own, and an HTTP client that speaks to it.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace velkin::test {

struct Reply {
  int status = 0;
  std::string body;
  nlohmann::json Json() const { return nlohmann::json::parse(body, nullptr, false); }
};

// The studio's event stream (GET /api/events), read as a script would: events in the order sent.
class EventStream {
 public:
  struct Event {
    std::string type;
    nlohmann::json data;
  };
  // Connects; the stream carries the events sent from then on.
  explicit EventStream(int port);
  ~EventStream();

  // Reads events until `pred` holds for one (returned with all read before it) or `limit` passes.
  std::vector<Event> ReadUntil(const std::function<bool(const Event&)>& pred,
                               std::chrono::seconds limit = std::chrono::seconds(30));
  // Whether the studio ends the stream (closes the connection) within `limit`.
  bool EndsWithin(std::chrono::seconds limit);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

class StudioProcess {
 public:
  // Starts velkin-studio (virtual devices: the VELKIN_EMULATOR of this process) with `args`.
  explicit StudioProcess(const std::vector<std::string>& args = {});
  ~StudioProcess();

  bool started() const { return port_ > 0; }
  int port() const { return port_; }
  // The folder the studio makes its work folder in.
  const std::filesystem::path& temp() const { return temp_.path(); }

  Reply Get(const std::string& path, const std::vector<std::pair<std::string, std::string>>& headers = {});
  Reply Post(const std::string& path, const std::string& body, const std::string& type,
             const std::vector<std::pair<std::string, std::string>>& headers = {});

  // Uploads a WAV file and waits for its encode job; the sound's summary.
  nlohmann::json AddSound(const std::vector<std::uint8_t>& wav, const std::string& query = "");
  // Polls a job until it ends (or the time is up); its last snapshot.
  nlohmann::json WaitJob(std::uint64_t id, std::chrono::seconds limit = std::chrono::seconds(60));
  // Polls the unit list until `pred` holds for it.
  template <class Pred>
  nlohmann::json WaitDevices(Pred pred, std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    nlohmann::json list;
    do {
      list = Get("/api/devices").Json();
      if (pred(list)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < end);
    return list;
  }

  // Asks the studio to stop and waits for its exit status.
  int Shutdown();
  // What the studio wrote on standard output after its address line (call after Shutdown).
  std::vector<std::string> LaterOutput();

 private:
  TempDir temp_;
  std::unique_ptr<ChildProcess> child_;
  int port_ = -1;
  bool stopped_ = false;
};

}  // namespace velkin::test
