// libsoxr HQ in a process of its own, file to file: bench_job_soxr IN OUT RATE.
#include <cstdlib>

#include "bench/compare/peers.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  velkin::bench::SoxrHqJob(argv[1], argv[2], std::atoi(argv[3]));
  return 0;
}
