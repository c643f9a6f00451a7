// The studio's event stream: job progress and device changes, numbered in order, kept for a while
// so that a page that reconnects (Last-Event-ID) misses nothing recent.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace velkin::studio {

struct Event {
  std::uint64_t id;
  std::string type;  // "job" or "devices"
  std::string data;  // one line of JSON
};

class EventHub {
 public:
  void Publish(const std::string& type, const nlohmann::json& data);
  // The number of the newest event (0 before the first).
  std::uint64_t Latest();
  // Events after `after`, waiting up to `timeout` for the first; empty on timeout or once closed.
  std::vector<Event> WaitAfter(std::uint64_t after, std::chrono::milliseconds timeout);
  // Wakes every waiter for good: the server is stopping.
  void Close();
  bool Closed();

  // One event in the text/event-stream form.
  static std::string Format(const Event& event);

 private:
  static constexpr std::size_t kKept = 2000;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Event> events_;
  std::uint64_t latest_ = 0;
  bool closed_ = false;
};

}  // namespace velkin::studio
