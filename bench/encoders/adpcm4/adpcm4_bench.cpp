// How many times faster than real time VOSSIK encodes, per signal kind (16 kHz, one core):
//   vossik/<kind>         the export on a 10 s WAV file, file reading and writing included
//   adpcm4_search/<kind>  the block coding alone (search and encode) on the same samples
//   adpcm4_plain/<kind>   the same with the step-by-step search the tests keep as reference
// The counter x_realtime is seconds of sound coded per second of processor time.
#include <benchmark/benchmark.h>
#include <velkin/vossik.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "encoders/adpcm4/adpcm_codec.h"
#include "encoders/adpcm4/block_search.h"
#include "tests/encoders/adpcm4/reference_search.h"
#include "tests/support/signals/test_signals.h"
#include "tests/support/wav_builder.h"

namespace velkin::adpcm4 {
namespace {

namespace fs = std::filesystem;

constexpr double kRate = 16000.0;

// Codes one segment the way the encoder does after silence removal: blocks read from the
// current position, chosen, encoded, and the position advanced by the block length.
template <typename Choose>
std::size_t CodeSegment(const std::vector<std::int16_t>& signal, Choose&& choose) {
  std::size_t bytes = 0;
  std::size_t w = 0;
  EncodedBlock block;
  while (w + 1 < signal.size()) {
    BlockBuffer u;
    u.fill(32768);
    const std::size_t n = std::min(kBlockBufferSize, signal.size() - w);
    for (std::size_t i = 0; i < n; ++i) u[i] = ToOffset(signal[w + i]);
    const BlockChoice choice = choose(u, n, static_cast<std::uint32_t>(signal.size() - w));
    EncodeBlock(u, choice.length, choice.start_index, block);
    bytes += block.bytes.size();
    w += choice.length;
  }
  return bytes;
}

void Report(benchmark::State& state, std::size_t samples) {
  const double seconds_of_sound = static_cast<double>(samples) / kRate;
  state.counters["x_realtime"] =
      benchmark::Counter(seconds_of_sound * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void Export(benchmark::State& state, velkin::test::SignalKind kind) {
  const auto signal = velkin::test::MakeSignal(kind, 10 * 16000, 3);
  const fs::path dir = fs::temp_directory_path() / ("bench_vossik-" + std::to_string(std::random_device{}()));
  fs::create_directories(dir);
  const std::string input = (dir / "in.wav").string();
  const std::string output = (dir / "out.COD").string();
  velkin::test::WriteFileBytes(input, velkin::test::SimpleWav(16000, signal));
  for (auto _ : state) {
    if (VOSSIK(output.c_str(), input.c_str(), "12000000", "8", 0, 0, nullptr, 0) != 1) {
      state.SkipWithError("VOSSIK failed");
    }
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
  Report(state, signal.size());
}

void Search(benchmark::State& state, velkin::test::SignalKind kind) {
  const auto signal = velkin::test::MakeSignal(kind, 10 * 16000, 3);
  BlockSearch search;
  for (auto _ : state) {
    benchmark::DoNotOptimize(CodeSegment(signal, [&](BlockBuffer& u, std::size_t n, std::uint32_t remaining) {
      return search.Choose(u, n, remaining);
    }));
  }
  Report(state, signal.size());
}

void Plain(benchmark::State& state, velkin::test::SignalKind kind) {
  const auto signal = velkin::test::MakeSignal(kind, 2 * 16000, 3);
  for (auto _ : state) {
    benchmark::DoNotOptimize(CodeSegment(signal, test::ReferenceChoose));
  }
  Report(state, signal.size());
}

void RegisterAll() {
  for (auto [prefix, run] : {std::pair{"vossik/", &Export}, {"adpcm4_search/", &Search}, {"adpcm4_plain/", &Plain}}) {
    for (velkin::test::SignalKind kind : velkin::test::kAllSignalKinds) {
      // Silence never reaches the block coding through the export (it becomes silence records);
      // coded as sound it is the slowest case of all and says nothing about real use.
      if (kind == velkin::test::SignalKind::kSilence && run != &Export) continue;
      benchmark::RegisterBenchmark((prefix + velkin::test::SignalName(kind)).c_str(), run, kind)
          ->Unit(benchmark::kMillisecond);
    }
  }
}

const bool kRegistered = (RegisterAll(), true);

}  // namespace
}  // namespace velkin::adpcm4
