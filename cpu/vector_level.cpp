#include "vector_level.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace velkin::cpu {

namespace {

Level Detect() {
#if defined(__x86_64__) || defined(__i386__)
  // The compiler's run-time check also asks whether the operating system saves the wide
  // registers, so a processor with AVX under a system that does not is not taken for one.
  __builtin_cpu_init();
  if (!__builtin_cpu_supports("sse2")) return Level::kPlain;
  if (!__builtin_cpu_supports("avx2")) return Level::kSse2;
  if (!__builtin_cpu_supports("avx512f") || !__builtin_cpu_supports("avx512bw") ||
      !__builtin_cpu_supports("avx512vl")) {
    return Level::kAvx2;
  }
  return Level::kAvx512;
#else
  return Level::kPlain;
#endif
}

}  // namespace

Level Highest() {
  static const Level highest = Detect();
  return highest;
}

Level LevelFromSetting(const char* setting, Level highest) {
  if (setting == nullptr) return highest;
  if (std::strcmp(setting, "8") == 0 && highest >= Level::kSse2) return Level::kSse2;
  if (std::strcmp(setting, "16") == 0 && highest >= Level::kAvx2) return Level::kAvx2;
  return highest;
}

Level DefaultLevel() {
  static const Level level = LevelFromSetting(std::getenv("VELKIN_VECTOR_PATH"), Highest());
  return level;
}

Level Runnable(Level wanted) {
  return std::min(wanted, Highest());
}

const char* Name(Level level) {
  switch (level) {
    case Level::kPlain:
      return "plain";
    case Level::kSse2:
      return "sse2";
    case Level::kAvx2:
      return "avx2";
    case Level::kAvx512:
      return "avx512";
  }
  return "";
}

}  // namespace velkin::cpu
