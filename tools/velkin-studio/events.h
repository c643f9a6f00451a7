// The studio's event stream: job progress and device changes, numbered in order, kept for a while
// so that a page that reconnects (Last-Event-ID) misses nothing recent. Streams are told when
// something new is there; none waits on a thread of its own.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "router.h"

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
  // Events after `after` that are still kept.
  std::vector<Event> After(std::uint64_t after);
  // Calls `wake` after every publication and once closed, until the returned object goes.
  std::shared_ptr<void> Watch(std::function<void()> wake);
  // Ends every stream for good: the server is stopping.
  void Close();
  bool Closed();

  // A stream of the events after `after`, in the text/event-stream form.
  std::shared_ptr<EventFeed> Feed(std::uint64_t after);

  // One event in the text/event-stream form.
  static std::string Format(const Event& event);

 private:
  static constexpr std::size_t kKept = 2000;
  void Wake();

  std::mutex lock_;
  std::deque<Event> events_;
  std::uint64_t latest_ = 0;
  bool closed_ = false;
  std::uint64_t next_watch_ = 0;
  std::map<std::uint64_t, std::shared_ptr<std::function<void()>>> watchers_;
};

// JSON as text; bytes that are not UTF-8 become U+FFFD rather than an exception.
std::string JsonText(const nlohmann::json& value);

}  // namespace velkin::studio
