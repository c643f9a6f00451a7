/* TARPEL: encodes a 16-bit PCM WAV file into the device's 12-bit PCM code file. */
#ifndef VELKIN_TARPEL_H
#define VELKIN_TARPEL_H

#include <stdint.h>

#include "platform.h"

#ifndef VELKIN_ENCODER_PROGRESS_CALLBACK_DEFINED
#define VELKIN_ENCODER_PROGRESS_CALLBACK_DEFINED
/* Progress report during an encoding, on the caller's thread: source is always 1, percent is
 * 0..100, user is the encoder's eighth argument handed back unchanged. The result is ignored.
 * The user value is 32 bits on 32-bit Windows and pointer-wide elsewhere. */
typedef int32_t(VELKIN_CALL* EncoderProgressCallback)(int32_t source, int32_t percent, intptr_t user);
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Writes the code file and a preview file of raw 16-bit samples (the code file's name followed
 * by ".PCM"). An empty outputPath derives the code file's name from the input: its last "." and
 * what follows replaced by ".COD". A "," at index 2 or later of inputPath ends the path.
 * clock: the device clock in Hz as decimal text ("12000000"); reservedText must be non-empty;
 * reservedValue is not used; silenceThreshold: amplitude below which samples count as silent
 * (values up to 4 count as 4).
 * progress is called on the caller's thread after every sample block and with 100 at the end of every
 * region (null: no reports); user is handed back to it unchanged.
 * Returns 1 when both files were written, 0 on failure, 2 when the input is not 16-bit PCM (or has no
 * format chunk). After a failure both outputs, once created, are left empty. */
VELKIN_EXPORT int32_t VELKIN_CALL TARPEL(const char* outputPath, const char* inputPath, const char* clock,
                                         const char* reservedText, int32_t reservedValue,
                                         uint32_t silenceThreshold, EncoderProgressCallback progress,
                                         intptr_t user);

#ifdef __cplusplus
}
#endif

#endif
