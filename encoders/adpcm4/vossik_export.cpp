// The VOSSIK export: the shared encoder entry with the ADPCM coding stage.
#include <velkin/vossik.h>

#include "adpcm_stage.h"
#include "encoders/common/encoder_entry.h"

extern "C" VELKIN_EXPORT int32_t VELKIN_CALL VOSSIK(const char* outputPath, const char* inputPath, const char* clock,
                                                    const char* reservedText, int32_t reservedValue,
                                                    uint32_t silenceThreshold, EncoderProgressCallback progress,
                                                    intptr_t user) {
  return velkin::encoder::RunExport<velkin::adpcm4::AdpcmStage>(
      velkin::adpcm4::kVossikFormat,
      {outputPath, inputPath, clock, reservedText, reservedValue, silenceThreshold, progress, user});
}
