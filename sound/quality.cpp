#include "sound/quality.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace velkin::sound {

double SnrDb(std::span<const std::int16_t> reference, std::span<const std::int16_t> decoded) {
  const std::size_t n = std::min(reference.size(), decoded.size());
  double signal = 0;
  double noise = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double s = reference[i];
    const double d = s - decoded[i];
    signal += s * s;
    noise += d * d;
  }
  if (noise == 0) return std::numeric_limits<double>::infinity();
  if (signal == 0) return -std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(signal / noise);
}

}  // namespace velkin::sound
