// The resampler's two low-pass filters: one wing of a windowed sinc, 256 entries per input sample
// period, with a table of differences to the next entry for interpolating between entries. The
// definitions are generated at build time (gen/make_filter_tables.cpp) from the filters' rule.
#pragma once

#include <cstdint>

namespace velkin::sondrel {

inline constexpr int kLargeFilterLength = 8192;  // 32 sample periods
inline constexpr int kSmallFilterLength = 1536;  // 6 sample periods

extern const std::int16_t kLargeFilter[kLargeFilterLength];
extern const std::int16_t kLargeFilterDelta[kLargeFilterLength];
extern const std::int16_t kSmallFilter[kSmallFilterLength];
extern const std::int16_t kSmallFilterDelta[kSmallFilterLength];

}  // namespace velkin::sondrel
