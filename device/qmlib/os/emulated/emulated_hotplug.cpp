// Hot-plug events of virtual devices: the folder is looked at every 50 ms; a device folder that
// appears is an arrival, one that disappears a removal. Polling keeps this portable (it runs the
// same on Linux, Windows and Wine) and 50 ms is well inside the delays a host allows a real
// system for its notifications.
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "device/qmlib/os/hotplug.h"
#include "emulator/device_folder.h"

namespace velkin::qm::os {
namespace {

namespace fs = std::filesystem;

constexpr auto kPollInterval = std::chrono::milliseconds(50);

// Names of the plugged-in device folders: not hidden, holding a device.conf.
std::set<std::string> PluggedDevices(const fs::path& root) {
  std::set<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    std::error_code file_ec;
    if (name.empty() || name[0] == '.' || !fs::is_regular_file(it->path() / emu::kConfigFile, file_ec)) continue;
    names.insert(name);
  }
  return names;
}

class FolderWatch : public HotplugSource {
 public:
  FolderWatch(fs::path root, HotplugCallback callback)
      : root_(std::move(root)), callback_(std::move(callback)), known_(PluggedDevices(root_)) {
    thread_ = std::thread([this] { Run(); });
  }

  ~FolderWatch() override {
    {
      std::lock_guard guard(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

 private:
  void Run() {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, kPollInterval, [this] { return stop_; })) {
      lock.unlock();
      Poll();
      lock.lock();
    }
  }

  void Poll() {
    auto now = PluggedDevices(root_);
    for (const auto& name : known_) {
      if (!now.count(name)) callback_({HotplugKind::kRemoval, name});
    }
    for (const auto& name : now) {
      if (!known_.count(name)) callback_({HotplugKind::kArrival, name});
    }
    known_ = std::move(now);
  }

  fs::path root_;
  HotplugCallback callback_;
  std::set<std::string> known_;  // only touched by the watching thread after construction
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<HotplugSource> StartEmulatedHotplugSource(const std::string& root, HotplugCallback callback) {
  return std::make_unique<FolderWatch>(root, std::move(callback));
}

}  // namespace velkin::qm::os
