// libavcodec's IMA ADPCM in a process of its own, file to file: bench_job_ima IN OUT.
#include "bench/compare/peers.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  velkin::bench::ImaAdpcmJob(argv[1], argv[2]);
  return 0;
}
