// How wide the vector code may go on this processor: decided once for the whole process, and
// chosen per object so that a test can run every level the processor has side by side.
//
// The encoders' block search and run finder and the resampler's filter bank each have paths for
// several levels. They take the level as an argument (defaulting to DefaultLevel()) and map it to
// their own paths; none asks the processor or the environment itself.
#pragma once

#include <cstdint>

namespace velkin::cpu {

// Each level includes the ones below it.
enum class Level : std::uint8_t {
  kPlain,   // no vector instructions assumed (the compiler's generic code)
  kSse2,    // eight 16-bit lanes: the floor of every x86 build, the 32-bit one included
  kAvx2,    // sixteen
  kAvx512,  // AVX-512 F, BW and VL
};

// The highest level this processor and its operating system run (asked once).
Level Highest();

// The level every object uses unless a test gives it another: Highest(), lowered by the
// environment variable VELKIN_VECTOR_PATH ("8": SSE2, "16": AVX2). The variable is read once per
// process, at the first call.
Level DefaultLevel();

// What VELKIN_VECTOR_PATH's text selects on a processor whose highest level is `highest`: a level
// the processor cannot run, and any other text, leave `highest`.
Level LevelFromSetting(const char* setting, Level highest);

// `wanted`, lowered to what this processor runs: a level an object may safely use.
Level Runnable(Level wanted);

// "plain", "sse2", "avx2" or "avx512".
const char* Name(Level level);

}  // namespace velkin::cpu
