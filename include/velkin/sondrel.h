/* Sondrel: converts a WAV file to another sample rate. */
#ifndef VELKIN_SONDREL_H
#define VELKIN_SONDREL_H

#include <stdint.h>

#include "platform.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Reads the 16-bit WAV file inputPath, resamples it to outputRate Hz and writes outputPath
 * (an existing file of that name is replaced). Returns 1 when the output was written, 0 on every
 * failure and 0 when the input already has that rate (then no file is made). Converts one file
 * at a time per process. */
VELKIN_EXPORT int32_t VELKIN_CALL ZOLT_WaveConverter(const char* inputPath, const char* outputPath,
                                                     float outputRate);

#ifdef __cplusplus
}
#endif

#endif
