/* TARPEL: encodes a 16-bit PCM WAV file into the device's 12-bit PCM code file.
 * The arguments, the progress reports and the results are those of encoder.h. */
#ifndef VELKIN_TARPEL_H
#define VELKIN_TARPEL_H

#include <stdint.h>

#include "encoder.h"
#include "platform.h"

#ifdef __cplusplus
extern "C" {
#endif

VELKIN_EXPORT int32_t VELKIN_CALL TARPEL(const char* outputPath, const char* inputPath, const char* clock,
                                         const char* reservedText, int32_t reservedValue,
                                         uint32_t silenceThreshold, EncoderProgressCallback progress,
                                         intptr_t user);

#ifdef __cplusplus
}
#endif

#endif
