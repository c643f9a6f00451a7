// The Sondrel library's one export.
#include "velkin/sondrel.h"

#include "wave_converter.h"

int32_t VELKIN_CALL ZOLT_WaveConverter(const char* inputPath, const char* outputPath, float outputRate) {
  try {
    velkin::sondrel::C_WaveConverter converter;
    return converter.convert(inputPath, outputPath, outputRate);
  } catch (...) {
    return 0;  // nothing is thrown across the library boundary
  }
}
