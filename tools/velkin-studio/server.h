// The HTTP side: the page, the JSON API and the event stream, on the loopback interface only.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "api.h"
#include "http_server.h"

namespace velkin::studio {

struct ServerOptions {
  ApiLimits api;
  HttpLimits http;
};

class Server {
 public:
  static constexpr int kDefaultPort = 8716;

  Server(ServerParts parts, ServerOptions options);
  ~Server();

  struct Binding {
    int port = -1;        // the port bound, or -1
    std::string warning;  // something the user should know about the binding, or empty
  };
  // Binds 127.0.0.1 and ::1 on one port: `port`, or with `fallback` (and for 0) a free one where
  // both can be had. ::1 is left out only where the system has no IPv6, or (with a port asked for
  // and no fallback) when another program holds it, which the warning says.
  Binding Bind(int port, bool fallback);
  // Serves until Stop(); blocks.
  void Serve();
  void Stop();

  std::size_t connection_cap() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velkin::studio
