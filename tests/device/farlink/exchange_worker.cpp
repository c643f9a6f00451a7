// A second program on a virtual unit, for the tests that need two processes on one unit. Opens
// the unit through the FLNK_ exports and runs one job, printing one line of results:
//   eeprom16 ADDRESS ROUNDS  reads 16 EEPROM bytes at ADDRESS again and again and compares them
//                            with EepromByte(); prints "rounds R failures F wrong W"
//   request                  sends the flash identity request block and nothing else
//   reply                    reads one reply block; prints its bytes 1, 13, 14 and 15 in hex
#include <velkin/farlink.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "exchange_worker.h"

int main(int argc, char** argv) {
  if (argc < 2 || FLNK_OpenDevice("QUAMIRA", "VOXA CDROM") < 1) {
    std::printf("no unit\n");
    return 1;
  }
  const std::string job = argv[1];
  if (job == "eeprom16" && argc == 4) {
    const auto address = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 0));
    const long rounds = std::strtol(argv[3], nullptr, 0);
    long failures = 0;
    long wrong = 0;
    for (long i = 0; i < rounds; ++i) {
      std::uint8_t bytes[16] = {};
      if (FLNK_ReadEEPROM_16Byte(address, bytes) != 1) {
        ++failures;
        continue;
      }
      for (std::uint32_t k = 0; k < 16; ++k) {
        if (bytes[k] != velkin::test::EepromByte(address + k)) {
          ++wrong;
          break;
        }
      }
    }
    std::printf("rounds %ld failures %ld wrong %ld\n", rounds, failures, wrong);
  } else if (job == "request") {
    std::vector<std::uint8_t> block(64, 0);
    block[1] = 0x20;  // flash identity
    std::printf("%s\n", FLNK_WriteData(block.data(), 64) == 1 ? "sent" : "failed");
  } else if (job == "reply") {
    std::vector<std::uint8_t> block(64, 0);
    if (FLNK_ReadData(block.data(), 64) != 1) {
      std::printf("failed\n");
    } else {
      std::printf("%02x %02x %02x %02x\n", block[1], block[13], block[14], block[15]);
    }
  } else {
    std::printf("unknown job\n");
    return 2;
  }
  FLNK_CloseDevice();
  return 0;
}
