// The studio's routing, apart from any socket: a request's head is screened (who asks, which route,
// what content type, how large a body) before its body is read, and a whole request is then handed
// to its route's handler. The HTTP server drives it from the network; the fuzz target drives it
// from bytes, with no socket at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velkin::studio {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

enum class Method { kGet, kPost, kDelete, kOther };

struct HttpRequest {
  Method method = Method::kOther;
  std::string path;                                        // percent-decoded, without the query
  std::vector<std::pair<std::string, std::string>> query;  // decoded, in order
  HeaderList headers;
  // The length the head declares; nothing for a chunked body or none.
  std::optional<std::uint64_t> declared_length;
  std::string body;
  // Where the body was written instead, for routes that take files (empty otherwise).
  std::filesystem::path body_file;
  // The route pattern's wildcard segments, in order.
  std::vector<std::string> matches;

  // Header names compare without regard to case. "" when absent.
  bool HasHeader(std::string_view name) const;
  std::string Header(std::string_view name) const;
  // The first query parameter of that name, "" when absent.
  std::string Param(std::string_view name) const;
};

// A source of event-stream text for an answer that keeps sending (Server-Sent Events).
class EventFeed {
 public:
  virtual ~EventFeed() = default;
  // The text of everything new since the last call; empty when there is nothing.
  virtual std::string Take() = 0;
  // Calls `wake` (from any thread) whenever something new may be there, for as long as the
  // returned object lives.
  virtual std::shared_ptr<void> Watch(std::function<void()> wake) = 0;
  // Once true, the stream ends.
  virtual bool Closed() = 0;
};

struct HttpResponse {
  int status = 200;
  std::string content_type;
  std::string body;
  HeaderList headers;
  // Set for an answer served from a file on disk (the body is then unused).
  std::filesystem::path file;
  // Set for an answer that keeps sending events (the body is then unused).
  std::shared_ptr<EventFeed> feed;
  // Runs once the answer has been written (or could not be).
  std::function<void()> after_send;

  void SetContent(std::string content, std::string type) {
    body = std::move(content);
    content_type = std::move(type);
  }
};

using HttpHandler = std::function<void(const HttpRequest&, HttpResponse&)>;

// What a route takes besides its head.
enum class BodyKind {
  kNone,   // nothing: a declared body is refused
  kSmall,  // a short text held in memory (JSON)
  kFile,   // a file, written to disk as it arrives
};

struct Route {
  Method method = Method::kGet;
  // Segments separated by '/'; "*" stands for one non-empty segment, which goes into `matches`.
  std::string pattern;
  BodyKind body = BodyKind::kNone;
  std::size_t body_limit = 0;
  // The media type a POST must declare (parameters such as charset aside).
  std::string content_type;
  // Runs on the head alone, before the body is read: false means `response` is the refusal (a
  // limit reached, say), so no client sends a body only to hear that.
  std::function<bool(const HttpRequest&, HttpResponse&)> precheck;
  HttpHandler handler;
};

// What the screening of a head decided.
struct Screened {
  const Route* route = nullptr;  // null: `refusal` is the answer
  HttpResponse refusal;
};

class Router {
 public:
  struct Options {
    // Runs first on every head: false means `response` is the answer.
    std::function<bool(const HttpRequest&, HttpResponse&)> admit;
    // Gives an error answer its body: `reason` says why, or is empty for the status's usual words.
    std::function<void(HttpResponse&, const std::string& reason)> on_error;
    // Headers every answer carries.
    HeaderList default_headers;
    // A new path for a file body; empty when none can be made.
    std::function<std::filesystem::path()> spool;
  };

  explicit Router(Options options) : options_(std::move(options)) {}

  void Add(Route route);

  // On the head alone: who asks, which route, the content type, the declared size, the route's own
  // limits. Fills `request.matches` when a route takes it.
  Screened Screen(HttpRequest& request) const;
  // Runs the route's handler on the whole request.
  HttpResponse Dispatch(const Route& route, HttpRequest& request) const;
  // Both, for a request given whole (a file route's body is written to a spool file first).
  HttpResponse Handle(HttpRequest& request) const;

  // An error answer with `status` and `reason` (empty: the status's usual words).
  HttpResponse Refusal(int status, const std::string& reason = {}) const;
  const HeaderList& default_headers() const { return options_.default_headers; }
  std::filesystem::path Spool() const { return options_.spool ? options_.spool() : std::filesystem::path(); }

 private:
  Options options_;
  std::vector<Route> routes_;
};

Method MethodOf(std::string_view text);
// %XX escapes decoded; a malformed escape stays as it is. In a query '+' stands for a space.
std::string PercentDecode(std::string_view text, bool plus_is_space);
// Splits a request target into `request.path` and `request.query`.
void ParseTarget(std::string_view target, HttpRequest& request);
// The media type of a Content-Type value: lower case, without parameters or blanks.
std::string MediaType(std::string_view content_type);

}  // namespace velkin::studio
