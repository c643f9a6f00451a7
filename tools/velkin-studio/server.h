// The HTTP side: the page, the JSON API and the event stream, on the loopback interface only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace velkin::studio {

class DeviceHub;
class EventHub;
class JobBoard;
class SoundLibrary;

struct ServerParts {
  EventHub& events;
  JobBoard& jobs;
  SoundLibrary& sounds;
  DeviceHub& devices;
};

class Server {
 public:
  static constexpr int kDefaultPort = 8716;
  // Uploads above this size are refused (413) unless another limit is given.
  static constexpr std::size_t kUploadLimit = 256u << 20;

  Server(ServerParts parts, std::size_t upload_limit);
  ~Server();

  // Binds 127.0.0.1 (and ::1 on the same port where it can) to `port`; with `fallback`, a free
  // port when that one is taken. 0 asks for a free port. The bound port, or -1.
  int Bind(int port, bool fallback);
  // Serves until Stop(); blocks.
  void Serve();
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velkin::studio
