// The studio's HTTP layer: requests in, answers out, routes by method and path pattern. It knows
// nothing of sounds or units; server.cpp puts the studio's API on it. Built on Boost.Beast, which
// is header-only and so builds the same for Linux and for both Windows builds.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velkin::studio {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method;                                      // "GET", "POST", ...
  std::string path;                                        // percent-decoded, without the query
  std::vector<std::pair<std::string, std::string>> query;  // decoded, in order
  HeaderList headers;
  std::string body;
  // The route pattern's groups; [0] is the whole path.
  std::vector<std::string> matches;

  // Header names compare without regard to case. "" when absent.
  bool HasHeader(std::string_view name) const;
  std::string Header(std::string_view name) const;
  // The first query parameter of that name, "" when absent.
  std::string Param(std::string_view name) const;
};

// Writes one piece of an event stream; false once the client has gone.
using StreamWrite = std::function<bool(std::string_view)>;
// Produces an event stream: called until it returns false (or a write fails).
using StreamProducer = std::function<bool(const StreamWrite&)>;

struct HttpResponse {
  int status = 200;
  std::string content_type;
  std::string body;
  HeaderList headers;
  // Set for an answer that keeps sending (Server-Sent Events); the body is then unused.
  StreamProducer stream;

  void SetContent(std::string content, std::string type) {
    body = std::move(content);
    content_type = std::move(type);
  }
};

using HttpHandler = std::function<void(const HttpRequest&, HttpResponse&)>;

struct HttpOptions {
  std::size_t body_limit = 1u << 20;
  // Runs before routing; false means `response` is the answer.
  std::function<bool(const HttpRequest&, HttpResponse&)> admit;
  // Fills in an answer that has a status but no body (no route, body too large, ...).
  std::function<void(HttpResponse&)> on_error;
  HeaderList default_headers;
};

class HttpServer {
 public:
  explicit HttpServer(HttpOptions options);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // `pattern` must match the whole decoded path. Routes are tried in the order given.
  void Get(const std::string& pattern, HttpHandler handler);
  void Post(const std::string& pattern, HttpHandler handler);

  // Listens on `address` (a numeric IPv4 or IPv6 address) at `port` (0: a free one). The port
  // bound, or -1. Several addresses may be bound before Serve.
  int Bind(const std::string& address, int port);
  // Serves until Stop; blocks.
  void Serve();
  // Ends Serve: stops accepting, drops open connections and ends event streams. Any thread.
  void Stop();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace velkin::studio
