// velkin-decode: turns a code file back into a 16-bit mono WAV file, to hear what the device will play,
// and lists its region markers.
//
//   velkin-decode [--clock HZ] [--rate HZ] CODEFILE OUTPUT.wav
//
// Prints "<format> <rate> Hz, <n> samples (header <m>)", then one line per region marker:
// "region <start|end> cue <i> label <l> at <sample>". Exit status 0 on success, 1 on a bad file, 2 on
// bad arguments.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "formats/code_file.h"
#include "riff/wave_file.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: velkin-decode [--clock HZ] [--rate HZ] CODEFILE OUTPUT.wav\n");
  return 2;
}

bool ParseNumber(const char* text, std::uint32_t& value) {
  char* end = nullptr;
  const unsigned long v = std::strtoul(text, &end, 10);
  if (end == text || *end != '\0' || v == 0 || v > 0xFFFFFFFFul) return false;
  value = static_cast<std::uint32_t>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::uint32_t clock = 12000000;
  std::uint32_t rate_override = 0;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--clock" || arg == "--rate") && i + 1 < argc) {
      if (!ParseNumber(argv[++i], arg == "--clock" ? clock : rate_override)) return Usage();
    } else {
      paths.push_back(arg);
    }
  }
  if (paths.size() != 2) return Usage();

  std::ifstream in(paths[0], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "velkin-decode: cannot open %s\n", paths[0].c_str());
    return 1;
  }
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string error;
  const auto decoded = velkin::decode::DecodeCodeFile(bytes, clock, error);
  if (!decoded) {
    std::fprintf(stderr, "velkin-decode: %s: %s\n", paths[0].c_str(), error.c_str());
    return 1;
  }
  const std::uint32_t rate = rate_override ? rate_override : decoded->sample_rate;
  if (!velkin::riff::SavePcm16Wave(paths[1], {.rate = rate, .channels = 1, .samples = decoded->samples})) {
    std::fprintf(stderr, "velkin-decode: cannot write %s\n", paths[1].c_str());
    return 1;
  }
  std::printf("%s %u Hz, %llu samples (header %u)\n", decoded->decoder->name, static_cast<unsigned>(rate),
              static_cast<unsigned long long>(decoded->samples.size()),
              static_cast<unsigned>(decoded->declared_samples));
  for (const auto& m : decoded->marks) {
    std::printf("region %s cue %u label %u at %llu\n", m.type == 1 ? "start" : "end", static_cast<unsigned>(m.cue),
                static_cast<unsigned>(m.label), static_cast<unsigned long long>(m.at_sample));
  }
  return 0;
}
