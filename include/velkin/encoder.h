/* What the two encoder libraries (tarpel.h, vossik.h) share: the progress callback and the meaning
 * of their eight arguments, which are the same for both. */
#ifndef VELKIN_ENCODER_H
#define VELKIN_ENCODER_H

#include <stdint.h>

#include "platform.h"

/* Progress report during an encoding, on the caller's thread: source is always 1, percent is
 * 0..100, user is the encoder's eighth argument handed back unchanged. The result is ignored.
 * The user value is 32 bits on 32-bit Windows and pointer-wide elsewhere. */
typedef int32_t(VELKIN_CALL* EncoderProgressCallback)(int32_t source, int32_t percent, intptr_t user);

/* An encoder writes the code file and a preview file of raw 16-bit samples (the code file's name
 * followed by ".PCM"). An empty outputPath derives the code file's name from the input: its last
 * "." and what follows replaced by ".COD". A "," at index 2 or later of inputPath ends the path.
 * clock: the device clock in Hz as decimal text ("12000000"); reservedText must be non-empty;
 * reservedValue is not used; silenceThreshold: amplitude below which samples count as silent
 * (values up to 4 count as 4).
 * progress is called on the caller's thread after every sample block and with 100 at the end of
 * every region (null: no reports); user is handed back to it unchanged.
 * Returns 1 when both files were written, 0 on failure, 2 when the input is not 16-bit PCM (or has
 * no format chunk). After a failure both outputs, once created, are left empty. */

#endif
