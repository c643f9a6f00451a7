// How much faster than real time TARPEL encodes: one minute of generated 16 kHz audio per iteration,
// through the export as the console calls it.
#include <benchmark/benchmark.h>
#include <velkin/tarpel.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>

#include "tests/support/wav_builder.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kRate = 16000;
constexpr double kSeconds = 60.0;

std::int32_t VELKIN_CALL IgnoreProgress(std::int32_t, std::int32_t, std::intptr_t) {
  return 0;
}

void BM_TarpelMinuteAt16k(benchmark::State& state) {
  const fs::path dir = fs::temp_directory_path() / ("bench_tarpel-" + std::to_string(std::random_device{}()));
  fs::create_directories(dir);
  const std::string input = (dir / "minute.wav").string();
  const std::string output = (dir / "minute.COD").string();
  // A chord with quiet passages and pauses, so that every path of the coder is taken.
  velkin::test::WriteFileBytes(input, velkin::test::SimpleWav(kRate, velkin::test::ChordWithPauses(kRate * 60)));
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    const std::int32_t result = TARPEL(output.c_str(), input.c_str(), "12000000", "8", 0, 0, &IgnoreProgress, 0);
    if (result != 1) state.SkipWithError("TARPEL failed");
  }
  // Seconds of audio per second of wall-clock encoding (file reading and writing included).
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
  state.counters["x_realtime"] = kSeconds * static_cast<double>(state.iterations()) / wall.count();
  std::error_code ec;
  fs::remove_all(dir, ec);
}
BENCHMARK(BM_TarpelMinuteAt16k)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
