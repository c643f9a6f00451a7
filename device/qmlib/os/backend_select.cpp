// Picks the backend for the current environment: virtual devices when VELKIN_EMULATOR names a
// folder, the platform's backend otherwise.
#include <cstdlib>
#include <mutex>
#include <string>

#include "os/backend.h"

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

}  // namespace velkin::qm::os
