#include "http_server.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
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
using Clock = std::chrono::steady_clock;

// The largest request head taken (request line and headers).
constexpr std::uint32_t kHeadLimit = 16 * 1024;
// An event stream's client that lets this much text pile up unread is dropped.
constexpr std::size_t kStreamBacklog = 1u << 20;
// Event streams carry a comment this often, which also finds clients that stopped reading.
constexpr auto kKeepAlive = std::chrono::seconds(15);
// After a refusal, what the client still sends is read and dropped for this long before the
// connection closes, so that the refusal is not lost to a reset while it sends its body.
constexpr auto kLinger = std::chrono::seconds(2);

std::string PathText(const std::filesystem::path& path) {
  const auto text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace

// Every open connection, so that the cap holds and a stop reaches each one.
class Connection {
 public:
  virtual ~Connection() = default;
  // Closes it soon, from any thread.
  virtual void Drop() = 0;
  // Closes it now; only while no I/O thread runs.
  virtual void CloseNow() = 0;
};

enum class Phase {
  kWaiting,    // for a request's head: may make room for a new connection
  kBusy,       // reading a body, running a handler or writing an answer
  kStreaming,  // an event stream
  kDropped,    // told to close
};

std::size_t ConnectionCap(std::size_t descriptors) {
  if (descriptors == 0) return 1024;
  // An eighth of the descriptors (64 at least) stay for files, devices, pipes and the event loop.
  const std::size_t reserve = std::max<std::size_t>(64, descriptors / 8);
  const std::size_t cap = descriptors > reserve + 16 ? descriptors - reserve : 16;
  return std::min<std::size_t>(cap, 4096);
}

struct HttpServer::Impl {
  Impl(const Router& r, HttpLimits l) : router(r), limits(l) {
    cap = ConnectionCap(DescriptorLimit());
    if (limits.max_connections != 0) cap = std::min(cap, limits.max_connections);
  }

  const Router& router;
  const HttpLimits limits;
  std::size_t cap = 0;

  struct Entry {
    std::weak_ptr<Connection> connection;
    Phase phase;
    Clock::time_point since;
  };
  std::mutex lock;
  std::map<std::uint64_t, Entry> open;
  std::uint64_t next_id = 1;
  std::size_t streams = 0;

  // Declared after the table: handlers still queued hold connections, which leave the table as the
  // context destroys them.
  asio::io_context io;
  std::vector<std::unique_ptr<tcp::acceptor>> acceptors;

  std::uint64_t Register(std::weak_ptr<Connection> connection, Phase phase) {
    std::lock_guard guard(lock);
    const std::uint64_t id = next_id++;
    open[id] = {std::move(connection), phase, Clock::now()};
    return id;
  }
  void SetPhase(std::uint64_t id, Phase phase) {
    std::lock_guard guard(lock);
    const auto it = open.find(id);
    if (it != open.end() && it->second.phase != Phase::kDropped)
      it->second = {it->second.connection, phase, Clock::now()};
  }
  void Unregister(std::uint64_t id) {
    std::lock_guard guard(lock);
    open.erase(id);
  }
  bool TakeStreamSlot() {
    std::lock_guard guard(lock);
    if (streams >= limits.max_streams) return false;
    ++streams;
    return true;
  }
  void ReleaseStreamSlot() {
    std::lock_guard guard(lock);
    --streams;
  }
  // Whether a new connection may stay: below the cap, or once the connection that has waited
  // longest for its head is told to go. A slow-head attack so only ever displaces itself, while a
  // page's request, which sends its head at once, is read and answered.
  bool MakeRoom() {
    std::shared_ptr<Connection> oldest;
    {
      std::lock_guard guard(lock);
      std::size_t live = 0;
      for (const auto& [id, entry] : open) live += entry.phase == Phase::kDropped ? 0 : 1;
      if (live < cap) return true;
      Entry* pick = nullptr;
      for (auto& [id, entry] : open) {
        if (entry.phase == Phase::kWaiting && (pick == nullptr || entry.since < pick->since)) pick = &entry;
      }
      if (pick == nullptr) return false;
      pick->phase = Phase::kDropped;
      oldest = pick->connection.lock();
    }
    // Outside the lock: the last reference may go here, and a connection leaves the table as it goes.
    if (oldest) oldest->Drop();
    return true;
  }

  void Accept(tcp::acceptor& acceptor);
  void CloseAll();

  // Runs handlers until stopped. A handler that throws (no memory for a buffer, say) loses the
  // connection it served, whose last reference it held; the others are served on.
  void Run() {
    for (;;) {
      try {
        io.run();
        return;
      } catch (const std::exception&) {
      }
    }
  }
};

namespace {

using HeadParser = http::request_parser<http::empty_body>;
using TextParser = http::request_parser<http::string_body>;
using FileParser = http::request_parser<http::file_body>;

// An event stream: the head, then events as the feed has them, written without a thread of its
// own. The client sends nothing more; a read that ends tells at once that it has gone.
class EventStreamSession : public Connection, public std::enable_shared_from_this<EventStreamSession> {
 public:
  EventStreamSession(HttpServer::Impl& server, tcp::socket socket, std::shared_ptr<EventFeed> feed, std::string head)
      : server_(server),
        socket_(std::move(socket)),
        executor_(socket_.get_executor()),
        timer_(executor_),
        feed_(std::move(feed)),
        pending_(std::move(head)) {}

  ~EventStreamSession() override {
    server_.Unregister(id_);
    server_.ReleaseStreamSlot();
  }

  void Start() {
    id_ = server_.Register(weak_from_this(), Phase::kStreaming);
    std::weak_ptr<EventStreamSession> weak = weak_from_this();
    watch_ = feed_->Watch([weak] {
      if (auto self = weak.lock()) asio::post(self->executor_, [self] { self->Pump(); });
    });
    Pump();
    DetectEnd();
    KeepAlive();
  }

  void Drop() override {
    asio::post(executor_, [self = shared_from_this()] { self->CloseNow(); });
  }

  void CloseNow() override {
    if (closed_) return;
    closed_ = true;
    watch_.reset();
    timer_.cancel();
    ErrorCode ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
  }

 private:
  void Pump() {
    if (closed_) return;
    if (feed_->Closed()) return CloseNow();
    pending_ += feed_->Take();
    if (pending_.size() > kStreamBacklog) return CloseNow();
    if (writing_ || pending_.empty()) return;
    writing_ = true;
    sending_ = std::move(pending_);
    pending_.clear();
    asio::async_write(socket_, asio::buffer(sending_), [self = shared_from_this()](ErrorCode error, std::size_t) {
      self->writing_ = false;
      self->stuck_ = 0;
      if (error) return self->CloseNow();
      self->Pump();
    });
  }

  void DetectEnd() {
    socket_.async_read_some(asio::buffer(scratch_), [self = shared_from_this()](ErrorCode error, std::size_t) {
      if (error) return self->CloseNow();
      self->DetectEnd();
    });
  }

  void KeepAlive() {
    timer_.expires_after(kKeepAlive);
    timer_.async_wait([self = shared_from_this()](ErrorCode error) {
      if (error || self->closed_) return;
      // A write that has not finished over two rounds: the client no longer reads.
      if (self->writing_ && ++self->stuck_ >= 2) return self->CloseNow();
      self->pending_ += ": keep-alive\n\n";
      self->Pump();
      self->KeepAlive();
    });
  }

  HttpServer::Impl& server_;
  tcp::socket socket_;
  const tcp::socket::executor_type executor_;
  asio::steady_timer timer_;
  std::shared_ptr<EventFeed> feed_;
  std::shared_ptr<void> watch_;
  std::uint64_t id_ = 0;
  std::string pending_;
  std::string sending_;
  char scratch_[256];
  bool writing_ = false;
  int stuck_ = 0;
  bool closed_ = false;
};

// One connection: requests read one after another, each answered before the next is read. Its
// head is screened before its body is read: a refusal goes out without the body ever being taken.
class Session : public Connection, public std::enable_shared_from_this<Session> {
 public:
  Session(HttpServer::Impl& server, tcp::socket socket)
      : server_(server), stream_(std::move(socket)), executor_(stream_.get_executor()) {}

  ~Session() override {
    RemoveSpool();
    server_.Unregister(id_);
  }

  void Start() {
    id_ = server_.Register(weak_from_this(), Phase::kWaiting);
    ReadHead(true);
  }

  void Drop() override {
    asio::post(executor_, [self = shared_from_this()] { self->CloseNow(); });
  }

  void CloseNow() override {
    if (closed_) return;
    closed_ = true;
    ErrorCode ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.close();
  }

 private:
  const Router& router() const { return server_.router; }
  const HttpLimits& limits() const { return server_.limits; }

  void ReadHead(bool first) {
    if (closed_) return;
    server_.SetPhase(id_, Phase::kWaiting);
    head_.emplace();
    head_->header_limit(kHeadLimit);
    // The route's own limit applies once the head has been screened; none before, so that a
    // refusal for who asks comes before one for the size. (Not boost::none: this Beast compares a
    // length with it and finds every length too large.)
    head_->body_limit(std::numeric_limits<std::uint64_t>::max());
    text_.reset();
    file_.reset();
    if (first || buffer_.size() != 0) return ReadHeadBytes();
    // A kept-alive connection may idle for a while; once its next request begins, the head has
    // the same short time as any other.
    stream_.expires_after(limits().idle_limit);
    stream_.async_read_some(buffer_.prepare(4096), [self = shared_from_this()](ErrorCode error, std::size_t n) {
      if (error) return self->CloseNow();
      self->buffer_.commit(n);
      self->ReadHeadBytes();
    });
  }

  void ReadHeadBytes() {
    stream_.expires_after(limits().header_limit);
    http::async_read_header(stream_, buffer_, *head_,
                            [self = shared_from_this()](ErrorCode error, std::size_t) { self->OnHead(error); });
  }

  void OnHead(ErrorCode error) {
    if (error) return Fail(error);
    server_.SetPhase(id_, Phase::kBusy);
    const auto& head = head_->get();
    version_ = head.version();
    request_ = HttpRequest{};
    request_.method = MethodOf(std::string_view(head.method_string().data(), head.method_string().size()));
    ParseTarget(std::string_view(head.target().data(), head.target().size()), request_);
    for (const auto& field : head)
      request_.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    if (const auto length = head_->content_length()) request_.declared_length = *length;

    Screened screened = router().Screen(request_);
    if (screened.route == nullptr) return Refuse(std::move(screened.refusal));
    route_ = screened.route;
    const std::size_t limit = route_->body == BodyKind::kNone ? 0 : route_->body_limit;
    const bool expects = beast::iequals(head[http::field::expect], "100-continue") && !head_->is_done();
    if (route_->body == BodyKind::kFile) {
      request_.body_file = router().Spool();
      if (request_.body_file.empty()) return Refuse(router().Refusal(507, "the work folder takes no more files"));
      file_.emplace(std::move(*head_));
      file_->body_limit(limit);
      ErrorCode opened;
      file_->get().body().open(PathText(request_.body_file).c_str(), beast::file_mode::write, opened);
      if (opened) return Refuse(router().Refusal(507, "the work folder takes no more files"));
    } else {
      text_.emplace(std::move(*head_));
      text_->body_limit(limit);
    }
    head_.reset();
    if (!expects) return ReadBody();
    // Only now, with the head accepted, is the client told to send its body.
    auto go_on = std::make_shared<http::response<http::empty_body>>(http::status::continue_, version_);
    stream_.expires_after(limits().transfer_limit);
    http::async_write(stream_, *go_on, [self = shared_from_this(), go_on](ErrorCode error, std::size_t) {
      if (error) return self->CloseNow();
      self->ReadBody();
    });
  }

  void ReadBody() {
    stream_.expires_after(limits().transfer_limit);
    const auto done = [self = shared_from_this()](ErrorCode error, std::size_t) { self->OnBody(error); };
    if (file_) {
      http::async_read(stream_, buffer_, *file_, done);
    } else {
      http::async_read(stream_, buffer_, *text_, done);
    }
  }

  void OnBody(ErrorCode error) {
    if (error) return Fail(error);
    if (file_) {
      keep_alive_ = file_->keep_alive();
      // Closed before the handler moves it (Windows moves no open file).
      file_->get().body().close();
      file_.reset();
    } else {
      keep_alive_ = text_->keep_alive();
      request_.body = std::move(text_->get().body());
      text_.reset();
    }
    HttpResponse response = router().Dispatch(*route_, request_);
    RemoveSpool();
    Respond(std::move(response));
  }

  void Respond(HttpResponse&& response) {
    if (response.feed) {
      if (server_.TakeStreamSlot()) return BecomeStream(std::move(response));
      response = router().Refusal(503, "too many event streams are open: close another tab of the studio");
    }
    if (!response.file.empty()) {
      auto reply =
          std::make_shared<http::response<http::file_body>>(static_cast<http::status>(response.status), version_);
      ErrorCode opened;
      reply->body().open(PathText(response.file).c_str(), beast::file_mode::scan, opened);
      if (!opened) return Send(reply, response, false);
      response = router().Refusal(404, "no such file");
    }
    auto reply =
        std::make_shared<http::response<http::string_body>>(static_cast<http::status>(response.status), version_);
    reply->body() = std::move(response.body);
    Send(reply, response, false);
  }

  template <class Body>
  void Send(const std::shared_ptr<http::response<Body>>& reply, const HttpResponse& response, bool refusal) {
    for (const auto& [name, value] : router().default_headers()) reply->set(name, value);
    for (const auto& [name, value] : response.headers) reply->set(name, value);
    if (!response.content_type.empty()) reply->set(http::field::content_type, response.content_type);
    reply->keep_alive(keep_alive_ && !refusal);
    reply->prepare_payload();
    server_.SetPhase(id_, Phase::kBusy);
    stream_.expires_after(limits().transfer_limit);
    http::async_write(
        stream_, *reply,
        [self = shared_from_this(), reply, after = response.after_send, refusal](ErrorCode error, std::size_t) {
          if (after) after();
          if (error) return self->CloseNow();
          if (refusal) return self->Linger();
          if (!reply->keep_alive()) return self->CloseNow();
          self->ReadHead(false);
        });
  }

  // Answers with a status of its own and closes: what else the client sent is not taken.
  void Refuse(HttpResponse&& response) {
    RemoveSpool();
    auto reply = std::make_shared<http::response<http::string_body>>(static_cast<http::status>(response.status),
                                                                     version_ != 0 ? version_ : 11);
    reply->body() = std::move(response.body);
    Send(reply, response, true);
  }

  void Linger() {
    ErrorCode ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    server_.SetPhase(id_, Phase::kWaiting);
    stream_.expires_after(kLinger);
    Discard();
  }

  void Discard() {
    stream_.async_read_some(asio::buffer(scratch_), [self = shared_from_this()](ErrorCode error, std::size_t) {
      if (error) return self->CloseNow();
      self->Discard();
    });
  }

  void Fail(ErrorCode error) {
    RemoveSpool();
    if (error == http::error::body_limit) return Refuse(router().Refusal(413));
    if (error == http::error::header_limit) return Refuse(router().Refusal(431, "the request's head is too large"));
    // A request the parser could not read is answered once; the connection then goes.
    if (error.category() == http::make_error_code(http::error::bad_target).category() &&
        error != http::error::end_of_stream && error != http::error::partial_message) {
      return Refuse(router().Refusal(400, "malformed request"));
    }
    CloseNow();
  }

  void BecomeStream(HttpResponse&& response) {
    http::response<http::empty_body> head{http::status::ok, 11};
    for (const auto& [name, value] : router().default_headers()) head.set(name, value);
    for (const auto& [name, value] : response.headers) head.set(name, value);
    head.set(http::field::content_type, response.content_type);
    head.keep_alive(false);
    // The body then runs until the connection closes (no length, no chunks), which is how an
    // event stream ends.
    std::shared_ptr<EventStreamSession> stream;
    try {
      std::ostringstream text;
      text << head.base();
      stream_.expires_never();
      stream =
          std::make_shared<EventStreamSession>(server_, stream_.release_socket(), std::move(response.feed), text.str());
    } catch (const std::exception&) {
      // The slot goes back; the connection, if it was handed over already, closes with it.
      server_.ReleaseStreamSlot();
      return CloseNow();
    }
    closed_ = true;
    stream->Start();
    if (response.after_send) response.after_send();
  }

  void RemoveSpool() {
    if (request_.body_file.empty()) return;
    file_.reset();
    std::error_code ignored;
    std::filesystem::remove(request_.body_file, ignored);
    request_.body_file.clear();
  }

  HttpServer::Impl& server_;
  beast::tcp_stream stream_;
  const beast::tcp_stream::executor_type executor_;
  beast::flat_buffer buffer_;
  std::optional<HeadParser> head_;
  std::optional<TextParser> text_;
  std::optional<FileParser> file_;
  HttpRequest request_;
  const Route* route_ = nullptr;
  unsigned version_ = 11;
  bool keep_alive_ = false;
  std::uint64_t id_ = 0;
  bool closed_ = false;
  char scratch_[4096];
};

}  // namespace

void HttpServer::Impl::Accept(tcp::acceptor& acceptor) {
  acceptor.async_accept(asio::make_strand(io), [this, &acceptor](ErrorCode error, tcp::socket socket) {
    if (error == asio::error::operation_aborted || !acceptor.is_open()) return;
    if (!error) {
      try {
        if (MakeRoom()) {
          std::make_shared<Session>(*this, std::move(socket))->Start();
        } else {
          // Every connection is busy: this one goes before it takes a descriptor for long.
          ErrorCode ignored;
          socket.close(ignored);
        }
      } catch (const std::exception&) {
        // No memory for this connection: it goes, and the next one is accepted as usual.
      }
      return Accept(acceptor);
    }
    // A refused accept (out of file handles, say) would come straight back: try again shortly.
    auto pause = std::make_shared<asio::steady_timer>(io, std::chrono::milliseconds(100));
    pause->async_wait([this, &acceptor, pause](ErrorCode) {
      if (acceptor.is_open()) Accept(acceptor);
    });
  });
}

void HttpServer::Impl::CloseAll() {
  std::vector<std::shared_ptr<Connection>> all;
  {
    std::lock_guard guard(lock);
    for (auto& [id, entry] : open) {
      if (auto connection = entry.connection.lock()) all.push_back(std::move(connection));
    }
  }
  for (const auto& connection : all) connection->CloseNow();
}

HttpServer::HttpServer(const Router& router, HttpLimits limits) : impl_(std::make_unique<Impl>(router, limits)) {}

HttpServer::~HttpServer() = default;

std::size_t HttpServer::connection_cap() const {
  return impl_->cap;
}

Bound HttpServer::Bind(const std::string& address, int port) {
  ErrorCode error;
  const auto ip = asio::ip::make_address(address, error);
  if (error || port < 0 || port > 65535) return {-1, BindError::kUnavailable};
  const tcp::endpoint endpoint(ip, static_cast<unsigned short>(port));
  auto acceptor = std::make_unique<tcp::acceptor>(impl_->io);
  acceptor->open(endpoint.protocol(), error);
  if (error) return {-1, BindError::kUnavailable};
  if (ip.is_v6()) acceptor->set_option(asio::ip::v6_only(true), error);
  if (kBindReusesAddress) acceptor->set_option(tcp::acceptor::reuse_address(true), error);
  acceptor->bind(endpoint, error);
  if (!error) acceptor->listen(asio::socket_base::max_listen_connections, error);
  if (error) {
    const bool in_use = error == asio::error::address_in_use || error == asio::error::access_denied;
    return {-1, in_use ? BindError::kInUse : BindError::kUnavailable};
  }
  const int bound = acceptor->local_endpoint(error).port();
  if (error) return {-1, BindError::kUnavailable};
  impl_->acceptors.push_back(std::move(acceptor));
  return {bound, BindError::kNone};
}

void HttpServer::Unbind() {
  impl_->acceptors.clear();
}

void HttpServer::Serve() {
  for (auto& acceptor : impl_->acceptors) impl_->Accept(*acceptor);
  std::vector<std::thread> threads;
  for (int i = 1; i < impl_->limits.io_threads; ++i) {
    // Fewer threads serve as well, only less at once; none at all still leaves this one.
    try {
      threads.emplace_back([this] { impl_->Run(); });
    } catch (const std::system_error&) {
      break;
    }
  }
  impl_->Run();
  for (auto& thread : threads) thread.join();
  // No handler runs any more: every connection can be closed from here.
  impl_->CloseAll();
  impl_->acceptors.clear();
}

void HttpServer::Stop() {
  impl_->io.stop();
}

}  // namespace velkin::studio
