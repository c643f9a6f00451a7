// Picks the backend, and the agent's device-change registration, for the current environment:
// virtual devices when VELKIN_EMULATOR names a folder, the platform's otherwise.
#include <cstdlib>
#include <mutex>
#include <string>
#include <variant>

#include "device/qmlib/os/backend.h"

namespace velkin::qm::os {

std::shared_ptr<Backend> ActiveBackend() {
  // Kept for the life of the process (never destroyed), so that objects destroyed at unload can
  // still reach it.
  static auto* lock = new std::mutex;
  static auto* current = new std::shared_ptr<Backend>;
  static auto* current_root = new std::string;
  static bool current_is_platform = false;

  const char* value = std::getenv(kEmulatorVariable);
  const std::string root = value != nullptr ? value : "";
  std::lock_guard guard(*lock);
  if (root.empty()) {
    if (!*current || !current_is_platform) {
      *current = CreatePlatformBackend();
      current_is_platform = true;
      current_root->clear();
    }
  } else if (!*current || current_is_platform || *current_root != root) {
    *current = CreateEmulatedBackend(root);
    current_is_platform = false;
    *current_root = root;
  }
  return *current;
}

std::unique_ptr<HotplugSource> RegisterDeviceNotifications(const HotplugRecipient& recipient) {
  if (const auto* callback = std::get_if<HotplugCallback>(&recipient)) {
    return *callback ? StartHotplugSource(*callback) : nullptr;
  }
  const NotifyWindow window = std::get<NotifyWindow>(recipient);
  const char* root = std::getenv(kEmulatorVariable);
  if (window.handle == nullptr || (root != nullptr && *root != '\0')) return nullptr;
  return StartPlatformWindowNotifications(window);
}

}  // namespace velkin::qm::os
