#include "http_server.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "platform.h"

namespace velkin::studio {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using ErrorCode = boost::system::error_code;

// A connection waiting for its next request is closed after this long (browsers open a new one).
constexpr auto kIdleLimit = std::chrono::seconds(30);
// Receiving one request, or sending one answer, may take this long.
constexpr auto kTransferLimit = std::chrono::seconds(120);
// Threads that run the connections; handlers are short (long work runs as jobs elsewhere).
constexpr int kIoThreads = 4;
// Event streams hold a thread each while they are open.
constexpr int kMaxStreams = 32;

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// %XX escapes decoded; a malformed escape stays as it is. In a query '+' stands for a space.
std::string PercentDecode(std::string_view text, bool plus_is_space) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%' && i + 2 < text.size()) {
      const int high = HexValue(text[i + 1]);
      const int low = HexValue(text[i + 2]);
      if (high >= 0 && low >= 0) {
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
        continue;
      }
    }
    out.push_back(plus_is_space && c == '+' ? ' ' : c);
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> ParseQuery(std::string_view query) {
  std::vector<std::pair<std::string, std::string>> out;
  while (!query.empty()) {
    const auto amp = query.find('&');
    const std::string_view item = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (item.empty()) continue;
    const auto eq = item.find('=');
    out.emplace_back(PercentDecode(item.substr(0, eq), true),
                     eq == std::string_view::npos ? std::string() : PercentDecode(item.substr(eq + 1), true));
  }
  return out;
}

HttpRequest ToRequest(http::request<http::string_body>&& in) {
  HttpRequest out;
  out.method = std::string(in.method_string());
  const std::string_view target(in.target().data(), in.target().size());
  const auto question = target.find('?');
  out.path = PercentDecode(target.substr(0, question), false);
  if (question != std::string_view::npos) out.query = ParseQuery(target.substr(question + 1));
  for (const auto& field : in) {
    out.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
  }
  out.body = std::move(in.body());
  return out;
}

struct Route {
  std::string method;
  std::regex pattern;
  HttpHandler handler;
};

}  // namespace

bool HttpRequest::HasHeader(std::string_view name) const {
  return std::any_of(headers.begin(), headers.end(), [&](const auto& h) { return SameText(h.first, name); });
}

std::string HttpRequest::Header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (SameText(key, name)) return value;
  }
  return {};
}

std::string HttpRequest::Param(std::string_view name) const {
  for (const auto& [key, value] : query) {
    if (key == name) return value;
  }
  return {};
}

struct HttpServer::Impl {
  explicit Impl(HttpOptions o) : options(std::move(o)) {}

  HttpOptions options;
  std::vector<Route> routes;
  asio::io_context io;
  std::vector<std::unique_ptr<tcp::acceptor>> acceptors;

  // Event streams run on threads of their own; Stop shuts their sockets so that none stays
  // blocked on a client that no longer reads, and Serve waits for all of them to end.
  std::mutex streams_lock;
  std::condition_variable streams_done;
  std::set<std::shared_ptr<tcp::socket>> stream_sockets;
  int streams_running = 0;
  bool stopping = false;

  void Accept(tcp::acceptor& acceptor);
  HttpResponse Answer(HttpRequest& request);
  // Hands a connection over to a thread that writes `response`'s stream until it ends.
  void StartStream(tcp::socket socket, HttpResponse response);
};

namespace {

// One connection: requests read one after another, each answered before the next is read.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(HttpServer::Impl& server, tcp::socket socket) : server_(server), stream_(std::move(socket)) {}

  void Start() { ReadHeader(); }

 private:
  void ReadHeader() {
    parser_.emplace();
    parser_->body_limit(server_.options.body_limit);
    stream_.expires_after(kIdleLimit);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = shared_from_this()](ErrorCode error, std::size_t) { self->OnHeader(error); });
  }

  void OnHeader(ErrorCode error) {
    if (error) return Fail(error);
    // A body declared larger than allowed is refused before the client sends it.
    const auto length = parser_->content_length();
    if (length && *length > server_.options.body_limit) return Refuse(413);
    const auto expect = parser_->get()[http::field::expect];
    if (SameText(std::string_view(expect.data(), expect.size()), "100-continue")) {
      http::response<http::empty_body> go_on{http::status::continue_, parser_->get().version()};
      ErrorCode ignored;
      http::write(stream_, go_on, ignored);
    }
    stream_.expires_after(kTransferLimit);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](ErrorCode error, std::size_t) { self->OnRequest(error); });
  }

  void OnRequest(ErrorCode error) {
    if (error) return Fail(error);
    auto in = parser_->release();
    const unsigned version = in.version();
    const bool keep_alive = in.keep_alive();
    HttpRequest request = ToRequest(std::move(in));
    HttpResponse response = server_.Answer(request);
    if (response.stream) {
      stream_.expires_never();
      server_.StartStream(stream_.release_socket(), std::move(response));
      return;
    }
    Send(std::move(response), version, keep_alive);
  }

  void Send(HttpResponse&& response, unsigned version, bool keep_alive) {
    auto reply =
        std::make_shared<http::response<http::string_body>>(static_cast<http::status>(response.status), version);
    for (const auto& [name, value] : server_.options.default_headers) reply->set(name, value);
    for (const auto& [name, value] : response.headers) reply->set(name, value);
    if (!response.content_type.empty()) reply->set(http::field::content_type, response.content_type);
    reply->body() = std::move(response.body);
    reply->keep_alive(keep_alive);
    reply->prepare_payload();
    stream_.expires_after(kTransferLimit);
    http::async_write(stream_, *reply, [self = shared_from_this(), reply](ErrorCode error, std::size_t) {
      if (error) return self->Close();
      if (!reply->keep_alive()) return self->Close();
      self->ReadHeader();
    });
  }

  void Fail(ErrorCode error) {
    if (error == http::error::body_limit) return Refuse(413);
    if (error == http::error::end_of_stream) return Close();
    // A request the parser could not read is answered once; the connection then goes.
    if (error.category() == http::make_error_code(http::error::bad_target).category()) return Refuse(400);
    Close();
  }

  // Answers with a status of its own and closes: what else the client sent is not read.
  void Refuse(int status) {
    HttpResponse response;
    response.status = status;
    if (server_.options.on_error) server_.options.on_error(response);
    Send(std::move(response), 11, false);
  }

  void Close() {
    ErrorCode ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.close();
  }

  HttpServer::Impl& server_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
};

}  // namespace

void HttpServer::Impl::Accept(tcp::acceptor& acceptor) {
  acceptor.async_accept(asio::make_strand(io), [this, &acceptor](ErrorCode error, tcp::socket socket) {
    if (error == asio::error::operation_aborted || !acceptor.is_open()) return;
    if (!error) {
      std::make_shared<Session>(*this, std::move(socket))->Start();
      return Accept(acceptor);
    }
    // A refused accept (out of file handles, say) would come straight back: try again shortly.
    auto pause = std::make_shared<asio::steady_timer>(io, std::chrono::milliseconds(100));
    pause->async_wait([this, &acceptor, pause](ErrorCode) {
      if (acceptor.is_open()) Accept(acceptor);
    });
  });
}

HttpResponse HttpServer::Impl::Answer(HttpRequest& request) {
  HttpResponse response;
  if (options.admit && !options.admit(request, response)) return response;
  bool routed = false;
  for (const Route& route : routes) {
    std::smatch match;
    if (route.method != request.method || !std::regex_match(request.path, match, route.pattern)) continue;
    request.matches.assign(match.begin(), match.end());
    routed = true;
    try {
      route.handler(request, response);
    } catch (const std::exception&) {
      response = HttpResponse{};
      response.status = 500;
    }
    break;
  }
  if (!routed) response.status = 404;
  if (response.body.empty() && !response.stream && response.status >= 400 && options.on_error) {
    options.on_error(response);
  }
  return response;
}

void HttpServer::Impl::StartStream(tcp::socket socket, HttpResponse response) {
  auto shared = std::make_shared<tcp::socket>(std::move(socket));
  {
    std::lock_guard guard(streams_lock);
    if (stopping || streams_running >= kMaxStreams) {
      ErrorCode ignored;
      shared->close(ignored);
      return;
    }
    ++streams_running;
    stream_sockets.insert(shared);
  }
  std::thread([this, shared, response = std::move(response)] {
    // The head first; the body then runs until the connection closes (no length, no chunks),
    // which is how an event stream ends.
    http::response<http::empty_body> head{http::status::ok, 11};
    for (const auto& [name, value] : options.default_headers) head.set(name, value);
    for (const auto& [name, value] : response.headers) head.set(name, value);
    head.set(http::field::content_type, response.content_type);
    head.keep_alive(false);
    http::response_serializer<http::empty_body> serializer{head};
    ErrorCode error;
    http::write_header(*shared, serializer, error);
    const StreamWrite write = [&](std::string_view text) {
      ErrorCode failed;
      asio::write(*shared, asio::buffer(text.data(), text.size()), failed);
      return !failed;
    };
    while (!error && response.stream(write)) {
    }
    // Stop() shuts down every socket in the set under the lock; once this one has left the set,
    // closing it here cannot race with that.
    {
      std::lock_guard guard(streams_lock);
      stream_sockets.erase(shared);
    }
    ErrorCode ignored;
    shared->shutdown(tcp::socket::shutdown_both, ignored);
    shared->close(ignored);
    std::lock_guard guard(streams_lock);
    --streams_running;
    streams_done.notify_all();
  }).detach();
}

HttpServer::HttpServer(HttpOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

HttpServer::~HttpServer() {
  Stop();
  std::unique_lock guard(impl_->streams_lock);
  impl_->streams_done.wait(guard, [this] { return impl_->streams_running == 0; });
}

void HttpServer::Get(const std::string& pattern, HttpHandler handler) {
  impl_->routes.push_back({"GET", std::regex(pattern), std::move(handler)});
}

void HttpServer::Post(const std::string& pattern, HttpHandler handler) {
  impl_->routes.push_back({"POST", std::regex(pattern), std::move(handler)});
}

int HttpServer::Bind(const std::string& address, int port) {
  ErrorCode error;
  const auto ip = asio::ip::make_address(address, error);
  if (error || port < 0 || port > 65535) return -1;
  const tcp::endpoint endpoint(ip, static_cast<unsigned short>(port));
  auto acceptor = std::make_unique<tcp::acceptor>(impl_->io);
  acceptor->open(endpoint.protocol(), error);
  if (error) return -1;
  if (ip.is_v6()) acceptor->set_option(asio::ip::v6_only(true), error);
  if (kBindReusesAddress) acceptor->set_option(tcp::acceptor::reuse_address(true), error);
  acceptor->bind(endpoint, error);
  if (!error) acceptor->listen(asio::socket_base::max_listen_connections, error);
  if (error) return -1;
  const int bound = acceptor->local_endpoint(error).port();
  if (error) return -1;
  impl_->acceptors.push_back(std::move(acceptor));
  return bound;
}

void HttpServer::Serve() {
  for (auto& acceptor : impl_->acceptors) impl_->Accept(*acceptor);
  std::vector<std::thread> threads;
  for (int i = 1; i < kIoThreads; ++i) threads.emplace_back([this] { impl_->io.run(); });
  impl_->io.run();
  for (auto& thread : threads) thread.join();
  std::unique_lock guard(impl_->streams_lock);
  impl_->streams_done.wait(guard, [this] { return impl_->streams_running == 0; });
}

void HttpServer::Stop() {
  {
    std::lock_guard guard(impl_->streams_lock);
    impl_->stopping = true;
    for (const auto& socket : impl_->stream_sockets) {
      ErrorCode ignored;
      socket->shutdown(tcp::socket::shutdown_both, ignored);
    }
  }
  impl_->io.stop();
}

}  // namespace velkin::studio
