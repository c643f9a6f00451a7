#include "events.h"

namespace velkin::studio {
namespace {

class HubFeed : public EventFeed {
 public:
  HubFeed(EventHub& hub, std::uint64_t after) : hub_(hub), after_(after) {}

  std::string Take() override {
    std::string text;
    for (const Event& event : hub_.After(after_)) {
      text += EventHub::Format(event);
      after_ = event.id;
    }
    return text;
  }
  std::shared_ptr<void> Watch(std::function<void()> wake) override { return hub_.Watch(std::move(wake)); }
  bool Closed() override { return hub_.Closed(); }

 private:
  EventHub& hub_;
  // Only the stream's own strand calls Take.
  std::uint64_t after_;
};

}  // namespace

std::string JsonText(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void EventHub::Publish(const std::string& type, const nlohmann::json& data) {
  {
    std::lock_guard guard(lock_);
    events_.push_back({++latest_, type, JsonText(data)});
    if (events_.size() > kKept) events_.pop_front();
  }
  Wake();
}

std::uint64_t EventHub::Latest() {
  std::lock_guard guard(lock_);
  return latest_;
}

std::vector<Event> EventHub::After(std::uint64_t after) {
  std::lock_guard guard(lock_);
  std::vector<Event> out;
  if (closed_) return out;
  for (auto it = events_.rbegin(); it != events_.rend() && it->id > after; ++it) out.push_back(*it);
  return {out.rbegin(), out.rend()};
}

std::shared_ptr<void> EventHub::Watch(std::function<void()> wake) {
  std::lock_guard guard(lock_);
  const std::uint64_t id = next_watch_++;
  watchers_[id] = std::make_shared<std::function<void()>>(std::move(wake));
  // The hub outlives every stream: the server, which holds the streams, goes first.
  return std::shared_ptr<void>(nullptr, [this, id](void*) {
    std::lock_guard guard(lock_);
    watchers_.erase(id);
  });
}

void EventHub::Wake() {
  std::vector<std::shared_ptr<std::function<void()>>> wakes;
  {
    std::lock_guard guard(lock_);
    for (const auto& [id, wake] : watchers_) wakes.push_back(wake);
  }
  for (const auto& wake : wakes) (*wake)();
}

void EventHub::Close() {
  {
    std::lock_guard guard(lock_);
    closed_ = true;
  }
  Wake();
}

bool EventHub::Closed() {
  std::lock_guard guard(lock_);
  return closed_;
}

std::shared_ptr<EventFeed> EventHub::Feed(std::uint64_t after) {
  return std::make_shared<HubFeed>(*this, after);
}

std::string EventHub::Format(const Event& event) {
  return "id: " + std::to_string(event.id) + "\nevent: " + event.type + "\ndata: " + event.data + "\n\n";
}

}  // namespace velkin::studio
