/* Converts a 16-bit PCM WAV file to the unit's 16000 samples per second and encodes the result
 * into the unit's code files, through the Velkin libraries' C exports.
 *
 *   convert-and-encode INPUT.wav OUTPUT-FOLDER
 *
 * writes OUTPUT-FOLDER/x16000.wav (unless the input has that rate already), OUTPUT-FOLDER/pcm12.cod
 * and, when built with the ADPCM encoder, OUTPUT-FOLDER/adpcm4.cod, each with its ".PCM" preview
 * file. Exit status 0 when every step succeeded. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <velkin/sondrel.h>
#include <velkin/tarpel.h>
#ifdef HAVE_VOSSIK
#include <velkin/vossik.h>
#endif

struct Progress {
  const char* name;
  int32_t calls;
  int32_t last;
};

/* Called on this thread during the encoding; the user value is the struct Progress above. */
static int32_t VELKIN_CALL OnProgress(int32_t source, int32_t percent, intptr_t user) {
  struct Progress* progress = (struct Progress*)user;
  (void)source;
  progress->calls++;
  progress->last = percent;
  return 0;
}

typedef int32_t(VELKIN_CALL* Encoder)(const char*, const char*, const char*, const char*, int32_t, uint32_t,
                                      EncoderProgressCallback, intptr_t);

static int Encode(Encoder encoder, const char* name, const char* folder, const char* input) {
  char output[4096];
  struct Progress progress = {name, 0, -1};
  snprintf(output, sizeof output, "%s/%s.cod", folder, name);
  /* The unit's clock; the fourth argument is not used but must not be empty. */
  int32_t result = encoder(output, input, "12000000", "-", 0, 0, OnProgress, (intptr_t)&progress);
  printf("%s: result %d, %d progress reports, last %d%%\n", name, (int)result, (int)progress.calls, (int)progress.last);
  return result == 1 && progress.last == 100;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: convert-and-encode INPUT.wav OUTPUT-FOLDER\n");
    return 2;
  }
  char converted[4096];
  snprintf(converted, sizeof converted, "%s/x16000.wav", argv[2]);
  /* 0 means failure or "already 16000 Hz"; in both cases the encoders read the input itself,
   * and report a failure of their own if it is unreadable. */
  const char* source = argv[1];
  if (ZOLT_WaveConverter(argv[1], converted, 16000.0f) == 1) {
    printf("converted to %s\n", converted);
    source = converted;
  } else {
    printf("not converted, encoding %s\n", argv[1]);
  }

  int ok = Encode(TARPEL, "pcm12", argv[2], source);
#ifdef HAVE_VOSSIK
  ok = Encode(VOSSIK, "adpcm4", argv[2], source) && ok;
#endif
  return ok ? 0 : 1;
}
