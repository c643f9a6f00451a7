// Base fixture of the test bed suites: a fresh bed per test, product code on the platform
// backend (VELKIN_EMULATOR unset), and a hard failure when the process is not under umockdev.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "scoped_env.h"
#include "sg_handler.h"
#include "testbed.h"

namespace velkin::test::linux_bed {

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
