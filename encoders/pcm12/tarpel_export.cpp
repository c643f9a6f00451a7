// The TARPEL export: the shared encoder entry with the 12-bit PCM coding stage.
#include <velkin/tarpel.h>

#include "encoders/common/encoder_entry.h"
#include "pcm12_stage.h"

extern "C" VELKIN_EXPORT int32_t VELKIN_CALL TARPEL(const char* outputPath, const char* inputPath, const char* clock,
                                                    const char* reservedText, int32_t reservedValue,
                                                    uint32_t silenceThreshold, EncoderProgressCallback progress,
                                                    intptr_t user) {
  return velkin::encoder::RunExport<velkin::pcm12::Pcm12Stage>(
      velkin::pcm12::kTarpelFormat,
      {outputPath, inputPath, clock, reservedText, reservedValue, silenceThreshold, progress, user});
}
