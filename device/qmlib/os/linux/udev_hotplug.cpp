// Hot-plug events on Linux: a udev monitor, read on a thread of its own, for scsi_generic nodes
// or for the interface classes of HotplugScope::kInterfaceClasses.
//
// The monitor listens to udev's announcements ("udev" rather than "kernel"), which come after
// udev has run its rules: by the time an arrival is reported, the node exists with the
// permissions the rule grants, so a receiver that opens the unit at once can do so.
#include <poll.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <cstdint>
#include <span>
#include <string_view>
#include <thread>

#include "device/qmlib/os/hotplug.h"
#include "udev_handles.h"

namespace velkin::qm::os {
namespace {

using linux_os::UdevDevicePtr;
using linux_os::UdevMonitorPtr;
using linux_os::UdevPtr;
using linux_os::UniqueFd;

class UdevHotplugSource : public HotplugSource {
 public:
  // Null when udev or the wake-up descriptor cannot be had. The monitor is receiving before
  // this returns, so no change after the start is missed.
  static std::unique_ptr<UdevHotplugSource> Start(HotplugCallback callback, HotplugScope scope) {
    struct Match {
      const char* subsystem;
      const char* devtype;
    };
    static constexpr Match kUnits[] = {{"scsi_generic", nullptr}};
    // USB devices (not their interfaces), whole disks (not partitions), HID and network adapters.
    static constexpr Match kInterfaceClasses[] = {
        {"usb", "usb_device"}, {"block", "disk"}, {"hidraw", nullptr}, {"net", nullptr}};
    UdevPtr context(udev_new());
    if (!context) return nullptr;
    UdevMonitorPtr monitor(udev_monitor_new_from_netlink(context.get(), "udev"));
    if (!monitor) return nullptr;
    const std::span<const Match> matches = scope == HotplugScope::kStorageUnits
                                               ? std::span<const Match>(kUnits)
                                               : std::span<const Match>(kInterfaceClasses);
    for (const Match& match : matches) {
      if (udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), match.subsystem, match.devtype) < 0) {
        return nullptr;
      }
    }
    if (udev_monitor_enable_receiving(monitor.get()) < 0) return nullptr;
    UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake.valid()) return nullptr;
    return std::unique_ptr<UdevHotplugSource>(
        new UdevHotplugSource(std::move(context), std::move(monitor), std::move(wake), std::move(callback)));
  }

  ~UdevHotplugSource() override {
    const std::uint64_t one = 1;
    while (::write(wake_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
    thread_.join();
    // The monitor and the context are released after the thread, which was their only user.
  }

 private:
  UdevHotplugSource(UdevPtr context, UdevMonitorPtr monitor, UniqueFd wake, HotplugCallback callback)
      : context_(std::move(context)),
        monitor_(std::move(monitor)),
        wake_(std::move(wake)),
        callback_(std::move(callback)),
        thread_([this] { Run(); }) {}

  void Run() {
    pollfd fds[2] = {{udev_monitor_get_fd(monitor_.get()), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    for (;;) {
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return;
      // Drain everything that has queued, so that the socket never fills up.
      while (UdevDevicePtr device{udev_monitor_receive_device(monitor_.get())}) Deliver(device.get());
    }
  }

  void Deliver(udev_device* device) {
    const char* action = udev_device_get_action(device);
    if (action == nullptr) return;
    HotplugEvent event;
    if (std::string_view(action) == "add") {
      event.kind = HotplugKind::kArrival;
    } else if (std::string_view(action) == "remove") {
      event.kind = HotplugKind::kRemoval;
    } else {
      return;  // change, bind, ...: the unit is still the same one
    }
    const char* node = udev_device_get_devnode(device);
    const char* sysname = udev_device_get_sysname(device);
    event.device = node != nullptr ? node : sysname != nullptr ? sysname : "";
    try {
      callback_(event);
    } catch (...) {
      // A receiver's failure must not end the watching for everyone after it.
    }
  }

  UdevPtr context_;
  UdevMonitorPtr monitor_;
  UniqueFd wake_;
  HotplugCallback callback_;
  std::thread thread_;  // last: starts once everything above is in place
};

}  // namespace

std::unique_ptr<HotplugSource> StartPlatformHotplugSource(HotplugCallback callback, HotplugScope scope) {
  if (!callback) return nullptr;
  return UdevHotplugSource::Start(std::move(callback), scope);
}

}  // namespace velkin::qm::os
