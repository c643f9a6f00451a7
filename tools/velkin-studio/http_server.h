// The studio's HTTP layer on sockets: connections in, heads screened by the router before any body is
// read, answers out (from memory, from files on disk, or as event streams written as events come).
// It knows nothing of sounds or units. Built on Boost.Beast, which is header-only and so builds the
// same for Linux and for both Windows builds.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "router.h"

namespace velkin::studio {

struct HttpLimits {
  // Connections open at once; beyond it, the oldest one still waiting for its head makes room. 0: as
  // many as the process's descriptor limit leaves room for (see ConnectionCap).
  std::size_t max_connections = 0;
  // Event streams open at once; beyond it, 503.
  std::size_t max_streams = 256;
  // A request's head must be in within this long of its first byte being awaited.
  std::chrono::seconds header_limit{10};
  // A connection waiting for its next request is closed after this long (browsers open a new one).
  std::chrono::seconds idle_limit{30};
  // Receiving one body, or sending one answer, may take this long.
  std::chrono::seconds transfer_limit{120};
  // Threads that run the connections; handlers are short (long work runs as jobs elsewhere).
  int io_threads = 4;
};

// How many connections fit below a descriptor limit of `descriptors` (0: unknown), leaving room for
// the files, pipes and device handles the rest of the program opens.
std::size_t ConnectionCap(std::size_t descriptors);

// Why a Bind failed.
enum class BindError { kNone, kInUse, kUnavailable };

struct Bound {
  int port = -1;  // the port bound, or -1
  BindError error = BindError::kNone;
};

class HttpServer {
 public:
  HttpServer(const Router& router, HttpLimits limits);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Listens on `address` (a numeric IPv4 or IPv6 address) at `port` (0: a free one). Several
  // addresses may be bound before Serve.
  Bound Bind(const std::string& address, int port);
  // Drops every listening socket bound so far.
  void Unbind();
  // Serves until Stop; blocks. Ends every connection and event stream before it returns.
  void Serve();
  // Ends Serve. Any thread, also a handler's.
  void Stop();

  // The connection cap in force (for --help and the tests' figures).
  std::size_t connection_cap() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace velkin::studio
