// The vector level: what VELKIN_VECTOR_PATH selects on processors of every level, and that the
// process's default follows it (this suite runs with VELKIN_VECTOR_PATH=8).
#include <gtest/gtest.h>

#include "cpu/vector_level.h"

namespace velkin::cpu {
namespace {

TEST(VectorLevel, TheSettingOnlyLowersTheLevelToOneTheProcessorRuns) {
  struct Case {
    const char* setting;
    Level highest;
    Level want;
  };
  const Case cases[] = {
      {"8", Level::kAvx512, Level::kSse2},    {"16", Level::kAvx512, Level::kAvx2},
      {"16", Level::kAvx2, Level::kAvx2},     {"16", Level::kSse2, Level::kSse2},
      {"8", Level::kPlain, Level::kPlain},    {nullptr, Level::kAvx512, Level::kAvx512},
      {"", Level::kAvx2, Level::kAvx2},       {"32", Level::kAvx2, Level::kAvx2},
      {"8 ", Level::kAvx512, Level::kAvx512}, {"avx2", Level::kAvx512, Level::kAvx512},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LevelFromSetting(c.setting, c.highest), c.want)
        << (c.setting ? c.setting : "(unset)") << " on " << Name(c.highest);
  }
}

TEST(VectorLevel, TheProcessDefaultFollowsTheEnvironment) {
  EXPECT_EQ(DefaultLevel(), Runnable(Level::kSse2));
}

}  // namespace
}  // namespace velkin::cpu
