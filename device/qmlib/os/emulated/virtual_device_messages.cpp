#include "device/qmlib/os/emulated/virtual_device_messages.h"

// dbt.h needs the types of windows.h.
#include <dbt.h>

#include <cstdlib>

#include "device/qmlib/os/backend.h"

namespace velkin::qm::os {
namespace {

// The record the system sends with a disk's arrival or removal. It never changes and lives as
// long as the process, so a send that times out cannot leave the receiver a dangling pointer.
const DEV_BROADCAST_DEVICEINTERFACE_A kDiskInterfaceRecord = {
    sizeof(DEV_BROADCAST_DEVICEINTERFACE_A),
    DBT_DEVTYP_DEVICEINTERFACE,
    0,
    {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}},
    {0},
};

// Long enough for the slowest reaction (the console reads the flash identity and the EEPROM);
// only a window that stops answering holds up the next event this long.
constexpr UINT kSendTimeoutMs = 30000;

}  // namespace

std::unique_ptr<HotplugSource> StartVirtualDeviceMessages(HWND window) {
  const char* root = std::getenv(kEmulatorVariable);
  if (root == nullptr || *root == '\0') return nullptr;
  // Sent, not posted: an arrival or removal code marks the message as one that carries a pointer,
  // and the system refuses to post those.
  return StartEmulatedHotplugSource(root, [window](const HotplugEvent& event) {
    const WPARAM code = event.kind == HotplugKind::kArrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
    DWORD_PTR result = 0;
    SendMessageTimeoutA(window, WM_DEVICECHANGE, code, reinterpret_cast<LPARAM>(&kDiskInterfaceRecord),
                        SMTO_NORMAL | SMTO_ABORTIFHUNG, kSendTimeoutMs, &result);
  });
}

}  // namespace velkin::qm::os
