// A sound set as a toy or a kiosk has one: twenty clips, 90 s in all, from 44.1 kHz stereo
// 16-bit files. Times, wall clock, with the split per step:
//   build: prepare, join, encode (VOSSIK at 16000 Hz) and report, to files; target under 1 s;
//   fit: every encoder, rate from 6000 to 32000 Hz and threshold, each encoded and scored, for a
//        256 KiB flash; target under 3 s.
// Run: bench_sets [repeats]   (the median of the repeats is printed, default 3)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "sets/build.h"
#include "tests/support/sound_sets.h"

namespace {

using namespace velkin;
using Clock = std::chrono::steady_clock;

// Clip lengths in seconds: 90 in all, from a short prompt to a jingle.
constexpr double kSeconds[20] = {2.5, 4.0, 6.5, 3.0, 5.5, 4.5, 3.5, 7.0, 2.0, 5.0,
                                 4.0, 6.0, 3.0, 5.5, 4.5, 3.5, 6.5, 2.5, 5.0, 5.5};

std::string Stereo(test::SetFolder& folder, int index) {
  const auto frames = static_cast<std::size_t>(kSeconds[index] * 44100);
  const auto left = test::SpeechLike(frames, 100 + index, 44100.0);
  const auto right = test::SpeechLike(frames, 200 + index, 44100.0, 12000.0);
  std::vector<std::int16_t> both(2 * frames);
  for (std::size_t f = 0; f < frames; ++f) {
    both[2 * f] = left[f];
    both[2 * f + 1] = right[f];
  }
  const std::string name = "clip" + std::to_string(index + 1) + ".wav";
  folder.Samples(name, both, 44100, 2);
  return name;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Processor time of the whole process, every thread: on a machine shared with other work, the
// wall time says what the others left, this what the work cost.
double ProcessorSeconds() {
  return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

void PrintSplit(const char* what, double wall, double processor, const sets::Timings& timings) {
  std::printf("%s: %.3f s wall, %.3f s of processor time\n", what, wall, processor);
  for (const auto& [step, seconds] : timings) std::printf("  %-22s %.3f s\n", step.c_str(), seconds);
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  test::SetFolder folder;
  std::vector<std::string> files;
  for (int i = 0; i < 20; ++i) files.push_back(Stereo(folder, i));
  const std::string clips = test::ClipTables(files);
  sets::Diagnostics diagnostics;
  const auto build_set = sets::ReadSetFile(
      folder.Set("build.toml", "encoder = \"vossik\"\nrate = 16000\ncapacity = 1048576\n" + clips), diagnostics);
  const auto fit_set = sets::ReadSetFile(
      folder.Set("fit.toml", "encoder = \"auto\"\nrate = \"auto\"\nthreshold = \"auto\"\ncapacity = 262144\n" + clips),
      diagnostics);
  if (!build_set || !fit_set) {
    std::fprintf(stderr, "%s", diagnostics.Text().c_str());
    return 1;
  }
  std::printf("twenty clips, 90 s of 44.1 kHz stereo; %u threads\n", sets::MachineThreads());

  std::vector<double> build_walls, fit_walls, build_cpu, fit_cpu;
  sets::Timings build_split, fit_split;
  for (int r = 0; r < repeats; ++r) {
    sets::BuildRequest request;
    request.image = folder.File("build.cod");
    auto start = Clock::now();
    auto cpu = ProcessorSeconds();
    const auto built = sets::BuildSet(*build_set, request, {}, diagnostics);
    build_walls.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    build_cpu.push_back(ProcessorSeconds() - cpu);
    if (!built) {
      std::fprintf(stderr, "%s", diagnostics.Text().c_str());
      return 1;
    }
    if (build_walls.back() == Median(build_walls)) build_split = built->report.timings;

    sets::BuildRequest fit_request;
    start = Clock::now();
    cpu = ProcessorSeconds();
    const auto fit = sets::FitSet(*fit_set, fit_request, {}, diagnostics);
    fit_walls.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    fit_cpu.push_back(ProcessorSeconds() - cpu);
    if (!fit) {
      std::fprintf(stderr, "%s", diagnostics.Text().c_str());
      return 1;
    }
    if (fit_walls.back() == Median(fit_walls)) fit_split = fit->timings;
    if (r == 0) {
      std::printf("build: %llu bytes, worst clip %.1f dB\nfit: %zu candidates; %s\n",
                  static_cast<unsigned long long>(built->report.imageBytes), built->report.scoreDb,
                  fit->candidates.size(), fit->why.c_str());
    }
  }
  PrintSplit("build (prepare, join, encode, report; target under 1 s)", Median(build_walls), Median(build_cpu),
             build_split);
  PrintSplit("fit (every candidate encoded and scored; target under 3 s)", Median(fit_walls), Median(fit_cpu),
             fit_split);
  return 0;
}
