#include "events.h"

namespace velkin::studio {

void EventHub::Publish(const std::string& type, const nlohmann::json& data) {
  {
    std::lock_guard guard(lock_);
    events_.push_back({++latest_, type, data.dump()});
    if (events_.size() > kKept) events_.pop_front();
  }
  changed_.notify_all();
}

std::uint64_t EventHub::Latest() {
  std::lock_guard guard(lock_);
  return latest_;
}

std::vector<Event> EventHub::WaitAfter(std::uint64_t after, std::chrono::milliseconds timeout) {
  std::unique_lock guard(lock_);
  changed_.wait_for(guard, timeout, [&] { return closed_ || latest_ > after; });
  std::vector<Event> out;
  if (closed_) return out;
  for (const Event& event : events_) {
    if (event.id > after) out.push_back(event);
  }
  return out;
}

void EventHub::Close() {
  {
    std::lock_guard guard(lock_);
    closed_ = true;
  }
  changed_.notify_all();
}

bool EventHub::Closed() {
  std::lock_guard guard(lock_);
  return closed_;
}

std::string EventHub::Format(const Event& event) {
  return "id: " + std::to_string(event.id) + "\nevent: " + event.type + "\ndata: " + event.data + "\n\n";
}

}  // namespace velkin::studio
