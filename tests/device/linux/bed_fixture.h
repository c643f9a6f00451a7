// Base fixture of the test bed suites: a fresh bed per test, product code on the platform
// backend (VELKIN_EMULATOR unset), and a hard failure when the process is not under umockdev.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <utility>

#include "scoped_env.h"
#include "sg_handler.h"
#include "testbed.h"

namespace velkin::test::linux_bed {

// A vendor command block: the given leading bytes, zeros, and "QM" in bytes 14 and 15.
inline Bytes Cdb(std::initializer_list<std::uint8_t> head) {
  Bytes cdb(16, 0);
  std::copy(head.begin(), head.end(), cdb.begin());
  cdb[14] = 'Q';
  cdb[15] = 'M';
  return cdb;
}

// A 64-byte request block: the given bytes at the given offsets, zeros elsewhere.
inline Bytes Request(std::initializer_list<std::pair<std::size_t, std::uint8_t>> bytes) {
  Bytes block(64, 0);
  for (const auto& [at, value] : bytes) block[at] = value;
  return block;
}

class BedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bed_ = std::make_unique<Testbed>();
    // Asked only once the bed exists: before, the answer is not reliable.
    ASSERT_TRUE(umockdev_in_mock_environment())
        << "not running under umockdev: start the test with LD_PRELOAD=libumockdev-preload.so.0 "
           "(or through umockdev-wrapper)";
    UnsetEnv("VELKIN_EMULATOR");
  }

  // Product objects and threads go before the bed (its destructor ends the mocked /sys).
  void TearDown() override { bed_.reset(); }

  Testbed& bed() { return *bed_; }

 private:
  std::unique_ptr<Testbed> bed_;
};

}  // namespace velkin::test::linux_bed
