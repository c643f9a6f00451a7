// What the studio's API suites share: the fixture (virtual devices and a folder for files) and
// the sounds they add.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "studio_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/virtual_devices.h"
#include "tests/support/wav_builder.h"

namespace velkin::test {

class StudioApi : public ::testing::Test {
 protected:
  // A unit with a flash of `kib` KiB (a power of two from 64), plugged in.
  void CreateUnitWithFlash(const std::string& name, std::uint32_t kib) {
    VirtualDeviceSetup setup;
    std::uint8_t code = 10;  // the capacity code: the flash holds 2^code bytes
    while ((1u << code) < kib * 1024u) ++code;
    setup.flash_id[2] = code;
    setup.flash_size = kib * 1024u;
    devices_.Create(name, setup);
  }

  VirtualDevices devices_;
  TempDir files_;
};

// A tone with noise on it: every encoder has work to do.
inline std::vector<std::int16_t> Speechlike(std::size_t count, double rate) {
  auto s = Sine(count, 310.0, rate, 9000);
  const auto n = Noise(count, 7, 2500);
  for (std::size_t i = 0; i < count; ++i) s[i] = static_cast<std::int16_t>(s[i] + n[i]);
  return s;
}

inline std::string Text(const std::vector<std::uint8_t>& bytes) {
  return {bytes.begin(), bytes.end()};
}

// The unit whose folder is `folder` (names are "<folder>@<stamp>"), or null.
inline nlohmann::json UnitOf(const nlohmann::json& list, const std::string& folder) {
  for (const auto& unit : list) {
    if (unit["name"].get<std::string>().rfind(folder + "@", 0) == 0) return unit;
  }
  return nullptr;
}

// Programming units: sounds long enough for a few dozen 4096-byte blocks.
class StudioProgram : public StudioApi {
 protected:
  nlohmann::json Encoded(StudioProcess& studio, double seconds = 3.0) {
    return studio.AddSound(SimpleWav(16000, Speechlike(static_cast<std::size_t>(16000 * seconds), 16000)));
  }
  static std::vector<std::uint8_t> Prefix(const std::vector<std::uint8_t>& flash, std::size_t n) {
    return {flash.begin(), flash.begin() + static_cast<long>(std::min(n, flash.size()))};
  }
};

}  // namespace velkin::test
