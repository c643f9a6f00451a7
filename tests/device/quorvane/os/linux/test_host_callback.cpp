// The host without windows: the notification target is a plain function.
#include <velkin/quorvane.h>

#include "tests/device/quorvane/test_host.h"

namespace velkin::test {
namespace {

void ReceiveNotification(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) {
  TestHost::Record(message, wparam, lparam);
}

}  // namespace

std::int32_t PlatformInit(std::uint32_t message, bool with_target) {
  return QRVN_InitDllv(with_target ? &ReceiveNotification : nullptr, message);
}

}  // namespace velkin::test
