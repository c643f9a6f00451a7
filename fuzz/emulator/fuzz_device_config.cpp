// device.conf text: whatever parses must write back in a form that parses to the same settings,
// since velkin-emu rewrites the file on every change (a setting lost there would change the device).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "emulator/device_folder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using velkin::emu::FormatDeviceConfig;
  using velkin::emu::ParseDeviceConfig;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string error;
  const auto config = ParseDeviceConfig(text, &error);
  if (!config) return 0;
  const std::string written = FormatDeviceConfig(*config);
  const auto again = ParseDeviceConfig(written, &error);
  if (!again || FormatDeviceConfig(*again) != written) std::abort();
  return 0;
}
