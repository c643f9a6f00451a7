#include "interface_list.h"

#include <cstddef>
#include <cstring>
#include <vector>

namespace velkin::qm::os::win {
namespace {

// SetupAPI ends a class with ERROR_NO_MORE_ITEMS. A system that instead keeps failing members
// would hold the walk (and the agent lock above it) for ever; after this many failures in a row
// the class counts as ended.
constexpr int kFailedMembersInARow = 64;

// Interface paths and hardware IDs are short texts; a size beyond this is not believed.
constexpr DWORD kLargestRecord = 64 * 1024;

}  // namespace

DeviceInterfaceList::DeviceInterfaceList(const GUID& interface_class)
    : class_(interface_class),
      set_(Api().SetupDiGetClassDevsA(&class_, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {}

std::optional<DeviceInterfaceList::Member> DeviceInterfaceList::Next() {
  for (int failed = 0; valid() && failed < kFailedMembersInARow; ++failed) {
    Member member;
    const Step step = ReadMember(member);
    if (step == Step::kMember) return member;
    if (step == Step::kEnd) break;
  }
  return std::nullopt;
}

DeviceInterfaceList::Step DeviceInterfaceList::ReadMember(Member& member) {
  SP_DEVICE_INTERFACE_DATA interface_data{};
  interface_data.cbSize = sizeof interface_data;
  if (!Api().SetupDiEnumDeviceInterfaces(set_.get(), nullptr, &class_, index_, &interface_data)) {
    if (Api().GetLastError() == ERROR_NO_MORE_ITEMS) return Step::kEnd;
    ++index_;
    return Step::kSkip;
  }
  ++index_;

  DWORD needed = 0;
  Api().SetupDiGetDeviceInterfaceDetailA(set_.get(), &interface_data, nullptr, 0, &needed, nullptr);
  if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) || needed > kLargestRecord) return Step::kSkip;
  // Allocated as DWORDs so that the record's size word is aligned; one spare NUL at the end.
  std::vector<DWORD> storage(needed / sizeof(DWORD) + 2, 0);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  member.device.cbSize = sizeof(SP_DEVINFO_DATA);
  if (!Api().SetupDiGetDeviceInterfaceDetailA(set_.get(), &interface_data, detail, needed, nullptr, &member.device)) {
    return Step::kSkip;
  }
  const std::size_t path_room = needed - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  member.path.assign(detail->DevicePath, strnlen(detail->DevicePath, path_room));
  return Step::kMember;
}

std::string DeviceInterfaceList::HardwareId(SP_DEVINFO_DATA& device) const {
  DWORD size = 0;
  Api().SetupDiGetDeviceRegistryPropertyA(set_.get(), &device, SPDRP_HARDWAREID, nullptr, nullptr, 0, &size);
  if (size == 0 || size > kLargestRecord) return {};
  std::vector<char> buffer(size + 1, '\0');
  if (!Api().SetupDiGetDeviceRegistryPropertyA(set_.get(), &device, SPDRP_HARDWAREID, nullptr,
                                               reinterpret_cast<BYTE*>(buffer.data()), size, nullptr)) {
    return {};
  }
  // A list of strings; the first one is the most specific.
  return std::string(buffer.data(), strnlen(buffer.data(), size));
}

}  // namespace velkin::qm::os::win
