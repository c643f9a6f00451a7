// What the studio's API suites share: the fixture (virtual devices and a folder for files) and
// the sounds they add.
#pragma once

#include <gtest/gtest.h>

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

}  // namespace velkin::test
