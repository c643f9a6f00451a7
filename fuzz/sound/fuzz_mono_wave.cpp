// The console's WAV routine (MONO) on arbitrary file bytes: never a crash or a read outside the
// file, whatever the chunks claim.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz/console/scratch_folder.h"
#include "sound/mono.h"

namespace {

std::string g_source;
std::string g_destination;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string folder = velkin::fuzz::MakeScratchFolder("/tmp/velkin-fuzz-mono-XXXXXX");
  g_source = std::string(folder) + "/in.wav";
  g_destination = std::string(folder) + "/out.wav";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(g_source.c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  // Every message is formatted, as the console would print it, and then dropped.
  velkin::sound::MakeMonoWave(g_source.c_str(), g_destination.c_str(), [](const char* line) {
    if (line == nullptr || line[0] == '\0') std::abort();
  });
  std::remove(g_destination.c_str());
  return 0;
}
