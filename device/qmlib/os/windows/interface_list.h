// One device interface class walked with SetupAPI: the present interfaces, member by member.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "win32_handles.h"

namespace velkin::qm::os::win {

// The interface classes this backend walks.
inline constexpr GUID kDiskInterfaceClass{0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
inline constexpr GUID kCdRomInterfaceClass{
    0x53F56308, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
inline constexpr GUID kUsbHostControllerInterfaceClass{
    0x3ABF6F2D, 0x71C4, 0x462A, {0x8A, 0x92, 0x1E, 0x68, 0x61, 0xE6, 0xAF, 0x27}};

// The fixed part of the interface detail record as the system checks it: 5 bytes on 32-bit
// Windows (a size word and the first path character, packed).
static_assert(sizeof(void*) != 4 || sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5);

class DeviceInterfaceList {
 public:
  struct Member {
    std::string path;          // the device interface path, to open with CreateFileA
    SP_DEVINFO_DATA device{};  // the device the interface belongs to
  };

  // The present interfaces of the class (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE).
  explicit DeviceInterfaceList(const GUID& interface_class);
  DeviceInterfaceList(const DeviceInterfaceList&) = delete;
  DeviceInterfaceList& operator=(const DeviceInterfaceList&) = delete;

  // False when the system gave no device information set.
  bool valid() const { return set_.valid(); }
  HDEVINFO set() const { return set_.get(); }

  // The next member that yields a path, or nothing at the end of the class. Members that cannot
  // be read are skipped.
  std::optional<Member> Next();

  // The first string of a device's hardware ID property; empty when it has none.
  std::string HardwareId(SP_DEVINFO_DATA& device) const;

 private:
  enum class Step { kMember, kSkip, kEnd };
  Step ReadMember(Member& member);

  GUID class_;
  UniqueDevInfo set_;
  DWORD index_ = 0;
};

}  // namespace velkin::qm::os::win
