// One job of ours in a process of its own, through the exports, as a program that converts or
// encodes one file does it:
//   bench_job_ours convert IN OUT RATE | vossik IN OUT | tarpel IN OUT
// Exit status 0 when the export reported success.
#include <velkin/sondrel.h>
#include <velkin/tarpel.h>
#include <velkin/vossik.h>

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  const std::string job = argv[1];
  if (job == "convert" && argc == 5) {
    return ZOLT_WaveConverter(argv[2], argv[3], static_cast<float>(std::atof(argv[4]))) == 1 ? 0 : 1;
  }
  if (job == "vossik") return VOSSIK(argv[3], argv[2], "12000000", "8", 0, 0, nullptr, 0) == 1 ? 0 : 1;
  if (job == "tarpel") return TARPEL(argv[3], argv[2], "12000000", "8", 0, 0, nullptr, 0) == 1 ? 0 : 1;
  return 2;
}
