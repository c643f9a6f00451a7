#include "studio_process.h"

#include <sstream>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "tests/support/program_paths.h"

namespace velkin::test {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

Headers HeadersOf(const http::response<http::string_body>& response) {
  Headers out;
  for (const auto& field : response) out.emplace_back(std::string(field.name_string()), std::string(field.value()));
  return out;
}

// Bytes sent as they stand on a connection of their own, and the reply read. Nothing (status 0)
// when the studio cannot be reached or does not answer within `limit`.
Reply SendBytes(int port, const std::string& bytes, std::chrono::seconds limit) {
  asio::io_context io;
  beast::tcp_stream stream(io);
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(boost::none);
  Reply reply;
  stream.expires_after(limit);
  const asio::ip::tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port));
  stream.async_connect(endpoint, [&](beast::error_code error) {
    if (error) return;
    asio::async_write(stream, asio::buffer(bytes), [&](beast::error_code error, std::size_t) {
      if (error) return;
      http::async_read(stream, buffer, parser, [&](beast::error_code error, std::size_t) {
        if (error) return;
        reply.status = static_cast<int>(parser.get().result_int());
        reply.body = parser.get().body();
        reply.headers = HeadersOf(parser.get());
      });
    });
  });
  io.run();
  return reply;
}

// One request, as a script with curl would send it, answered within a minute.
Reply Exchange(int port, http::verb method, const std::string& path, const std::string& body, const std::string& type,
               const Headers& headers) {
  http::request<http::string_body> request{method, path, 11};
  request.set(http::field::host, "127.0.0.1:" + std::to_string(port));
  for (const auto& [name, value] : headers) request.set(name, value);
  if (method == http::verb::post) {
    request.set(http::field::content_type, type);
    request.body() = body;
    request.prepare_payload();
  }
  std::ostringstream bytes;
  bytes << request;
  return SendBytes(port, bytes.str(), std::chrono::seconds(60));
}

}  // namespace

std::string Reply::Header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (beast::iequals(key, name)) return value;
  }
  return {};
}

struct EventStream::Impl {
  asio::io_context io;
  beast::tcp_stream stream{io};
  std::string pending;  // received, not yet taken apart
  bool ended = false;
  int status = 0;

  // Waits up to `limit` for more bytes; false once the connection has ended or the time is up.
  bool Receive(std::chrono::steady_clock::duration limit) {
    if (ended) return false;
    char chunk[4096];
    bool got = false;
    stream.expires_after(limit);
    stream.async_read_some(asio::buffer(chunk), [&](beast::error_code error, std::size_t n) {
      pending.append(chunk, n);
      got = n > 0;
      if (error && error != beast::error::timeout) ended = true;
    });
    io.restart();
    io.run();
    return got;
  }
};

EventStream::EventStream(int port) : impl_(std::make_unique<Impl>()) {
  const asio::ip::tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port));
  impl_->stream.expires_after(std::chrono::seconds(10));
  impl_->stream.connect(endpoint);
  const std::string request =
      "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nAccept: text/event-stream\r\n\r\n";
  asio::write(impl_->stream, asio::buffer(request));
  // The head of the answer, up to its blank line.
  while (impl_->pending.find("\r\n\r\n") == std::string::npos && impl_->Receive(std::chrono::seconds(10))) {
  }
  const auto head_end = impl_->pending.find("\r\n\r\n");
  if (impl_->pending.rfind("HTTP/1.1 ", 0) == 0) impl_->status = std::atoi(impl_->pending.c_str() + 9);
  impl_->pending.erase(0, head_end == std::string::npos ? impl_->pending.size() : head_end + 4);
}

EventStream::~EventStream() = default;

int EventStream::status() const {
  return impl_->status;
}

std::vector<EventStream::Event> EventStream::ReadUntil(const std::function<bool(const Event&)>& pred,
                                                       std::chrono::seconds limit) {
  std::vector<Event> seen;
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    // Every whole event received so far ("field: value" lines, then a blank line).
    for (auto blank = impl_->pending.find("\n\n"); blank != std::string::npos; blank = impl_->pending.find("\n\n")) {
      const std::string block = impl_->pending.substr(0, blank + 1);
      impl_->pending.erase(0, blank + 2);
      Event event;
      std::size_t from = 0;
      for (auto eol = block.find('\n'); eol != std::string::npos; from = eol + 1, eol = block.find('\n', from)) {
        const std::string line = block.substr(from, eol - from);
        if (line.rfind("event: ", 0) == 0) event.type = line.substr(7);
        if (line.rfind("data: ", 0) == 0) event.data = nlohmann::json::parse(line.substr(6), nullptr, false);
      }
      if (event.type.empty()) continue;  // a keep-alive comment
      seen.push_back(event);
      if (pred(seen.back())) return seen;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= end || (!impl_->Receive(end - now) && impl_->ended)) return seen;
  }
}

bool EventStream::EndsWithin(std::chrono::seconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!impl_->ended && std::chrono::steady_clock::now() < end)
    impl_->Receive(end - std::chrono::steady_clock::now());
  return impl_->ended;
}

StudioProcess::StudioProcess(const std::vector<std::string>& args) {
  StudioOptions options;
  options.args = args;
  Start(options);
}

StudioProcess::StudioProcess(const StudioOptions& options) {
  Start(options);
}

void StudioProcess::Start(const StudioOptions& options) {
  temp_path_ = options.temp.empty() ? temp_.path() : options.temp;
  std::vector<std::string> all;
  if (options.any_port) all = {"--port", "0"};
  all.insert(all.end(), options.args.begin(), options.args.end());
  std::string program = ProgramPath("velkin-studio");
  if (options.descriptor_limit > 0) {
    // The shell sets the limit and then becomes the studio.
    all.insert(all.begin(),
               {"-c", "ulimit -n " + std::to_string(options.descriptor_limit) + " && exec \"$0\" \"$@\"", program});
    program = "/bin/sh";
  }
  const std::string temp = temp_path_.string();
  child_ = ChildProcess::Start(program, all, {{"TMPDIR", temp}, {"TMP", temp}, {"TEMP", temp}});
  if (!child_) return;
  const auto line = child_->ReadLine(std::chrono::seconds(20));
  const std::string prefix = "http://127.0.0.1:";
  if (!line || line->rfind(prefix, 0) != 0) return;
  port_ = std::stoi(line->substr(prefix.size()));
}

StudioProcess::~StudioProcess() {
  if (child_ && !stopped_) {
    if (Shutdown() != 0) child_->Kill();
  }
}

Reply StudioProcess::Get(const std::string& path, const Headers& headers) {
  return Exchange(port_, http::verb::get, path, "", "", headers);
}

Reply StudioProcess::Post(const std::string& path, const std::string& body, const std::string& type,
                          const Headers& headers) {
  return Exchange(port_, http::verb::post, path, body, type, headers);
}

Reply StudioProcess::Delete(const std::string& path) {
  return Exchange(port_, http::verb::delete_, path, "", "", {});
}

Reply StudioProcess::SendHead(const std::string& head, std::chrono::seconds limit) {
  return SendBytes(port_, head, limit);
}

nlohmann::json StudioProcess::AddSound(const std::vector<std::uint8_t>& wav, const std::string& query) {
  const Reply reply = Post("/api/sounds?name=test.wav" + query, std::string(wav.begin(), wav.end()), "audio/wav");
  const auto body = reply.Json();
  if (reply.status != 201) return body;
  WaitJob(body["job"]["id"].get<std::uint64_t>());
  return Get("/api/sounds/" + std::to_string(body["sound"]["id"].get<std::uint64_t>())).Json();
}

nlohmann::json StudioProcess::WaitJob(std::uint64_t id, std::chrono::seconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  nlohmann::json job;
  do {
    job = Get("/api/jobs/" + std::to_string(id)).Json();
    if (!job.is_object() || job.value("state", "") != "running") break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (std::chrono::steady_clock::now() < end);
  return job;
}

int StudioProcess::Shutdown() {
  stopped_ = true;
  if (port_ > 0) Post("/api/shutdown", "{}", "application/json");
  return child_->Wait(std::chrono::seconds(30));
}

void StudioProcess::Kill() {
  stopped_ = true;
  child_->Kill();
}

std::vector<std::string> StudioProcess::LaterOutput() {
  return child_->ReadAllLines(std::chrono::seconds(2));
}

}  // namespace velkin::test
