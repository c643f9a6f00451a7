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

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Reply {
  int status = 0;  // 0: no answer
  std::string body;
  Headers headers;
  nlohmann::json Json() const { return nlohmann::json::parse(body, nullptr, false); }
  // "" when absent; names compare without regard to case.
  std::string Header(const std::string& name) const;
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

  // The answer's status (200 for a stream; 0 when none came).
  int status() const;

  // Reads events until `pred` holds for one (returned with all read before it) or `limit` passes.
  std::vector<Event> ReadUntil(const std::function<bool(const Event&)>& pred,
                               std::chrono::seconds limit = std::chrono::seconds(30));
  // Whether the studio ends the stream (closes the connection) within `limit`.
  bool EndsWithin(std::chrono::seconds limit);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

struct StudioOptions {
  std::vector<std::string> args;
  // --port 0: a free port. Without it the studio picks its own.
  bool any_port = true;
  // The folder the studio makes its work folder in; empty: one of the process object's own.
  std::filesystem::path temp;
  // POSIX: the studio runs with this many descriptors at most (0: as this process).
  int descriptor_limit = 0;
};

class StudioProcess {
 public:
  // Starts velkin-studio (virtual devices: the VELKIN_EMULATOR of this process) with `args`.
  explicit StudioProcess(const std::vector<std::string>& args = {});
  explicit StudioProcess(const StudioOptions& options);
  ~StudioProcess();

  bool started() const { return port_ > 0; }
  int port() const { return port_; }
  std::uint64_t pid() const { return child_ ? child_->Pid() : 0; }
  // The folder the studio makes its work folder in.
  const std::filesystem::path& temp() const { return temp_path_; }

  Reply Get(const std::string& path, const Headers& headers = {});
  Reply Post(const std::string& path, const std::string& body, const std::string& type, const Headers& headers = {});
  Reply Delete(const std::string& path);
  // Sends `head` (a request line and headers, up to its blank line) and no more, and reads one
  // answer: what a request refused on its head alone gets, or 0 when none comes within `limit`.
  Reply SendHead(const std::string& head, std::chrono::seconds limit = std::chrono::seconds(10));
  // The Host header of this studio.
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }

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
  // Ends the studio as a crash would: nothing of it runs to its end.
  void Kill();
  // What the studio wrote on standard output after its address line (call after Shutdown).
  std::vector<std::string> LaterOutput();

 private:
  void Start(const StudioOptions& options);

  TempDir temp_;
  std::filesystem::path temp_path_;
  std::unique_ptr<ChildProcess> child_;
  int port_ = -1;
  bool stopped_ = false;
};

}  // namespace velkin::test
