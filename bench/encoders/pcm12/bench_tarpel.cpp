// How much faster than real time TARPEL encodes: one minute of generated 16 kHz audio per iteration,
// through the export as the console calls it.
#include <benchmark/benchmark.h>
#include <velkin/tarpel.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kRate = 16000;
constexpr double kSeconds = 60.0;

// Music-like material: a chord with a slow envelope, quiet passages (low-level blocks), short pauses
// (silence records) and a little noise, so every path of the coder is taken.
std::vector<std::int16_t> Minute() {
  const auto count = static_cast<std::size_t>(kSeconds * kRate);
  std::vector<std::int16_t> s(count);
  std::mt19937 noise(1);
  std::uniform_int_distribution<int> jitter(-40, 40);
  for (std::size_t i = 0; i < count; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double second = std::fmod(t, 4.0);
    double level = second < 2.5 ? 12000.0 : (second < 3.5 ? 1500.0 : 0.0);
    level *= 0.6 + 0.4 * std::sin(2 * std::numbers::pi * 0.25 * t);
    const double chord = std::sin(2 * std::numbers::pi * 220.0 * t) + 0.5 * std::sin(2 * std::numbers::pi * 277.2 * t) +
                         0.3 * std::sin(2 * std::numbers::pi * 329.6 * t);
    const double v = level * chord / 1.8 + (level > 0 ? jitter(noise) : 0);
    s[i] = static_cast<std::int16_t>(std::lround(v));
  }
  return s;
}

void PutLE(std::ofstream& f, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) f.put(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void WriteWav(const std::string& path, const std::vector<std::int16_t>& samples) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  const auto data = static_cast<std::uint32_t>(samples.size() * 2);
  f.write("RIFF", 4);
  PutLE(f, 36 + data, 4);
  f.write("WAVEfmt ", 8);
  PutLE(f, 16, 4);
  PutLE(f, 1, 2);
  PutLE(f, 1, 2);
  PutLE(f, kRate, 4);
  PutLE(f, kRate * 2, 4);
  PutLE(f, 2, 2);
  PutLE(f, 16, 2);
  f.write("data", 4);
  PutLE(f, data, 4);
  for (std::int16_t v : samples) PutLE(f, static_cast<std::uint16_t>(v), 2);
}

std::int32_t VELKIN_CALL IgnoreProgress(std::int32_t, std::int32_t, std::intptr_t) {
  return 0;
}

void BM_TarpelMinuteAt16k(benchmark::State& state) {
  const fs::path dir = fs::temp_directory_path() / ("bench_tarpel-" + std::to_string(std::random_device{}()));
  fs::create_directories(dir);
  const std::string input = (dir / "minute.wav").string();
  const std::string output = (dir / "minute.COD").string();
  WriteWav(input, Minute());
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
