// The studio under load, as a careless script and a hostile page would put it (Linux; a program to
// run, not a test):
//  1. 100 uploads of 1 MB at once: every one answered (201, or 503 once a limit is reached), the
//     studio's peak memory, its most threads, and no job still running once the queue has drained;
//  2. 300 event-stream clients at once: every one answered (200 up to the limit, 503 beyond);
//  3. 1100 connections that send their heads a byte every two seconds, against a studio whose
//     descriptor limit is 1024, while a page's requests go on: how slow the slowest answer is.
// Run from the build's bin folder: studio_load [seconds of the slow-head attack, default 25]
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "studio_process.h"
#include "tests/support/wav_builder.h"

namespace {

using namespace velkin::test;
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// A number from /proc/PID/status ("VmHWM", "Threads", ...), in its own unit.
long Status(std::uint64_t pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key + ":", 0) == 0) return std::atol(line.c_str() + key.size() + 1);
  }
  return -1;
}

// Samples the studio's threads while the load runs.
class Watch {
 public:
  explicit Watch(std::uint64_t pid)
      : thread_([this, pid] {
          while (!stop_) {
            most_threads_ = std::max(most_threads_.load(), Status(pid, "Threads"));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
          }
        }) {}
  ~Watch() {
    stop_ = true;
    thread_.join();
  }
  long most_threads() const { return most_threads_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<long> most_threads_{0};
  std::thread thread_;
};

tcp::endpoint Endpoint(int port) {
  return {asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)};
}

// One request on a connection of its own, from an io_context shared with many others.
void Request(asio::io_context& io, int port, http::request<http::string_body> request,
             std::function<void(int status, Clock::duration took)> done) {
  struct Call {
    explicit Call(asio::io_context& io) : stream(io) {}
    beast::tcp_stream stream;
    beast::flat_buffer buffer;
    http::request<http::string_body> request;
    http::response_parser<http::string_body> parser;
    Clock::time_point start = Clock::now();
    std::function<void(int, Clock::duration)> done;
    void Finish(int status) {
      if (done) done(status, Clock::now() - start);
      done = nullptr;
    }
  };
  auto call = std::make_shared<Call>(io);
  call->request = std::move(request);
  call->request.set(http::field::host, "127.0.0.1:" + std::to_string(port));
  call->request.prepare_payload();
  call->parser.body_limit(boost::none);
  call->done = std::move(done);
  call->stream.expires_after(std::chrono::seconds(120));
  call->stream.async_connect(Endpoint(port), [call](beast::error_code error) {
    if (error) return call->Finish(0);
    http::async_write(call->stream, call->request, [call](beast::error_code, std::size_t) {
      // A refusal may come before the whole body went out: the answer is read either way.
      http::async_read(call->stream, call->buffer, call->parser, [call](beast::error_code error, std::size_t) {
        call->Finish(error ? 0 : static_cast<int>(call->parser.get().result_int()));
      });
    });
  });
}

bool Uploads(int count) {
  StudioProcess studio;
  if (!studio.started()) return false;
  // About 1 MB: 32 s of 16 kHz mono.
  const auto wav = SimpleWav(16000, Sine(16000 * 32, 310.0, 16000, 9000));
  const std::string body(wav.begin(), wav.end());
  std::map<int, int> statuses;
  Clock::duration slowest{};
  long most_threads = 0;
  const auto start = Clock::now();
  {
    Watch watch(studio.pid());
    asio::io_context io;
    for (int i = 0; i < count; ++i) {
      http::request<http::string_body> request{http::verb::post, "/api/sounds?name=load.wav", 11};
      request.set(http::field::content_type, "audio/wav");
      request.body() = body;
      Request(io, studio.port(), std::move(request), [&](int status, Clock::duration took) {
        ++statuses[status];
        slowest = std::max(slowest, took);
      });
    }
    io.run();
    most_threads = watch.most_threads();
  }
  const double answered = Seconds(Clock::now() - start);
  // The queue drains.
  json jobs;
  const auto drain = Clock::now();
  std::size_t running = 0;
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    jobs = studio.Get("/api/jobs").Json();
    running = static_cast<std::size_t>(
        std::count_if(jobs.begin(), jobs.end(), [](const json& job) { return job.value("state", "") == "running"; }));
  } while (running > 0 && Clock::now() - drain < std::chrono::minutes(10));
  std::map<std::string, int> outcomes;
  for (const auto& job : jobs) ++outcomes[job.value("result", "?")];
  const long peak_kb = Status(studio.pid(), "VmHWM");
  std::printf("uploads: %d of %.1f MB at once, all answered in %.2f s (slowest %.2f s):", count, body.size() / 1e6,
              answered, Seconds(slowest));
  for (const auto& [status, n] : statuses) std::printf(" %d x %d", n, status);
  std::printf("\n  studio peak RSS %.1f MB, most threads %ld; queue drained %.1f s later, jobs still running: %zu (",
              peak_kb / 1024.0, most_threads, Seconds(Clock::now() - drain), running);
  for (const auto& [result, n] : outcomes) std::printf(" %d %s", n, result.c_str());
  std::printf(" )\n");
  return studio.Shutdown() == 0 && statuses.count(0) == 0;
}

bool Streams(int count) {
  StudioProcess studio;
  if (!studio.started()) return false;
  asio::io_context io;
  std::map<int, int> statuses;
  std::atomic<int> answered{0};
  std::vector<std::shared_ptr<tcp::socket>> open;
  const std::string head = "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(studio.port()) + "\r\n\r\n";
  for (int i = 0; i < count; ++i) {
    auto socket = std::make_shared<tcp::socket>(io);
    auto chunk = std::make_shared<std::array<char, 512>>();
    open.push_back(socket);
    const auto note = [&](int status) {
      ++statuses[status];
      ++answered;
    };
    socket->async_connect(Endpoint(studio.port()), [&, socket, chunk, note](beast::error_code error) {
      if (error) return note(0);
      asio::async_write(*socket, asio::buffer(head), [&, socket, chunk, note](beast::error_code error, std::size_t) {
        if (error) return note(0);
        // The status line is all that is waited for; the streams then stay open.
        socket->async_read_some(asio::buffer(*chunk), [chunk, note](beast::error_code error, std::size_t n) {
          const std::string text(chunk->data(), n);
          note(!error && text.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(text.c_str() + 9) : 0);
        });
      });
    });
  }
  std::thread runner([&] { io.run(); });
  const auto start = Clock::now();
  while (answered < count && Clock::now() - start < std::chrono::seconds(30)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const double took = Seconds(Clock::now() - start);
  const auto asked = Clock::now();
  const int info = studio.Get("/api/info").status;
  const double info_took = Seconds(Clock::now() - asked);
  io.stop();
  runner.join();
  std::printf("event streams: %d clients at once, %d answered in %.2f s:", count, answered.load(), took);
  for (const auto& [status, n] : statuses) std::printf(" %d x %d", n, status);
  std::printf("; meanwhile /api/info %d in %.1f ms\n", info, info_took * 1000);
  open.clear();
  return studio.Shutdown() == 0 && answered == count && statuses.count(0) == 0;
}

// A connection that sends its head a byte at a time, never finishing it, and comes back each time
// the studio closes it.
class SlowHead : public std::enable_shared_from_this<SlowHead> {
 public:
  struct Counts {
    int connected = 0;
    int closed = 0;
  };
  SlowHead(asio::io_context& io, int port, const bool& stopping, Counts& counts)
      : io_(io), port_(port), stopping_(stopping), counts_(counts), socket_(io), timer_(io) {
    head_ = "GET /api/info HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nX-Slow: ";
  }

  void Start() {
    if (stopping_) return;
    socket_ = tcp::socket(io_);
    sent_ = 0;
    socket_.async_connect(Endpoint(port_), [self = shared_from_this()](beast::error_code error) {
      if (error) return self->Again(std::chrono::milliseconds(100));
      ++self->counts_.connected;
      self->Drip();
      self->Watch();
    });
  }

 private:
  void Again(std::chrono::milliseconds after) {
    timer_.expires_after(after);
    timer_.async_wait([self = shared_from_this()](beast::error_code error) {
      if (!error) self->Start();
    });
  }

  void Drip() {
    byte_ = sent_ < head_.size() ? head_[sent_] : 'x';
    ++sent_;
    asio::async_write(socket_, asio::buffer(&byte_, 1),
                      [self = shared_from_this()](beast::error_code error, std::size_t) {
                        if (error || self->stopping_) return;
                        self->timer_.expires_after(std::chrono::seconds(2));
                        self->timer_.async_wait([self](beast::error_code error) {
                          if (!error && self->socket_.is_open()) self->Drip();
                        });
                      });
  }

  // Whatever comes back (nothing, or the end of the connection) means the studio let it go.
  void Watch() {
    socket_.async_read_some(asio::buffer(scratch_), [self = shared_from_this()](beast::error_code, std::size_t) {
      ++self->counts_.closed;
      self->timer_.cancel();
      beast::error_code ignored;
      self->socket_.close(ignored);
      if (!self->stopping_) self->Again(std::chrono::milliseconds(0));
    });
  }

  asio::io_context& io_;
  const int port_;
  const bool& stopping_;
  Counts& counts_;
  tcp::socket socket_;
  asio::steady_timer timer_;
  std::string head_;
  std::size_t sent_ = 0;
  char byte_ = 0;
  char scratch_[256];
};

bool SlowHeads(int count, int seconds) {
  // This program holds more connections than the studio may.
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  StudioOptions options;
  options.descriptor_limit = 1024;
  StudioProcess studio(options);
  if (!studio.started()) return false;

  asio::io_context io;
  bool stopping = false;
  SlowHead::Counts counts;
  std::vector<std::shared_ptr<SlowHead>> slow;
  for (int i = 0; i < count; ++i) {
    slow.push_back(std::make_shared<SlowHead>(io, studio.port(), stopping, counts));
    slow.back()->Start();
  }
  // The page: a request every quarter second, each on a connection of its own.
  std::map<int, int> statuses;
  Clock::duration slowest{};
  int asked = 0;
  asio::steady_timer page(io);
  std::function<void()> next = [&] {
    page.expires_after(std::chrono::milliseconds(250));
    page.async_wait([&](beast::error_code error) {
      if (error || stopping) return;
      ++asked;
      Request(io, studio.port(), http::request<http::string_body>(http::verb::get, "/api/info", 11),
              [&](int status, Clock::duration took) {
                ++statuses[status];
                slowest = std::max(slowest, took);
              });
      next();
    });
  };
  // The attack first takes hold, then the page asks.
  asio::steady_timer begin(io, std::chrono::seconds(3));
  begin.async_wait([&](beast::error_code) { next(); });
  asio::steady_timer end(io, std::chrono::seconds(seconds));
  asio::steady_timer finish(io);
  end.async_wait([&](beast::error_code) {
    stopping = true;
    page.cancel();
    slow.clear();
    // The page's last requests may finish; then everything goes.
    finish.expires_after(std::chrono::seconds(2));
    finish.async_wait([&](beast::error_code) { io.stop(); });
  });
  io.run();
  int answered = 0;
  for (const auto& [status, n] : statuses) answered += n;
  std::printf(
      "slow heads: %d connections sending a byte every 2 s for %d s, studio's descriptor limit 1024: %d connects, %d "
      "closed by the studio and made again\n  page requests meanwhile: %d asked, %d answered:",
      count, seconds, counts.connected, counts.closed, asked, answered);
  for (const auto& [status, n] : statuses) std::printf(" %d x %d", n, status);
  std::printf(", slowest %.0f ms\n", Seconds(slowest) * 1000);
  return studio.Shutdown() == 0 && statuses.count(0) == 0 && answered == asked;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(15, std::atoi(argv[1])) : 25;
  bool ok = Uploads(100);
  ok = Streams(300) && ok;
  ok = SlowHeads(1100, seconds) && ok;
  return ok ? 0 : 1;
}
