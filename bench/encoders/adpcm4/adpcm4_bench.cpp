// How many times faster than real time the ADPCM block coding runs, per signal kind (16 kHz,
// one core). "plain" is the step-by-step search the tests keep as reference.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "adpcm_codec.h"
#include "block_search.h"
#include "reference_search.h"
#include "signals.h"

namespace velkin::adpcm4 {
namespace {

constexpr double kRate = 16000.0;

// Codes one segment the way the encoder does after silence removal: blocks read from the
// current position, chosen, encoded, and the position advanced by the block length.
template <typename Choose>
std::size_t CodeSegment(const std::vector<std::int16_t>& signal, Choose&& choose) {
  std::size_t bytes = 0;
  std::size_t w = 0;
  while (w + 1 < signal.size()) {
    BlockBuffer u;
    u.fill(32768);
    const std::size_t n = std::min(kBlockBufferSize, signal.size() - w);
    for (std::size_t i = 0; i < n; ++i) u[i] = ToOffset(signal[w + i]);
    const BlockChoice choice = choose(u, n, static_cast<std::uint32_t>(signal.size() - w));
    bytes += EncodeBlock(u, choice.length, choice.start_index).bytes.size();
    w += choice.length;
  }
  return bytes;
}

void Report(benchmark::State& state, std::size_t samples) {
  const double seconds_of_sound = static_cast<double>(samples) / kRate;
  state.counters["x_realtime"] =
      benchmark::Counter(seconds_of_sound * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void Fast(benchmark::State& state, test::SignalKind kind) {
  const auto signal = test::MakeSignal(kind, 10 * 16000, 3);
  BlockSearch search;
  for (auto _ : state) {
    benchmark::DoNotOptimize(CodeSegment(signal, [&](BlockBuffer& u, std::size_t n, std::uint32_t remaining) {
      return search.Choose(u, n, remaining);
    }));
  }
  Report(state, signal.size());
}

void Plain(benchmark::State& state, test::SignalKind kind) {
  const auto signal = test::MakeSignal(kind, 2 * 16000, 3);
  for (auto _ : state) {
    benchmark::DoNotOptimize(CodeSegment(signal, test::ReferenceChoose));
  }
  Report(state, signal.size());
}

void RegisterAll() {
  for (test::SignalKind kind : test::kAllSignalKinds) {
    benchmark::RegisterBenchmark(("adpcm4/" + test::SignalName(kind)).c_str(), Fast, kind)
        ->Unit(benchmark::kMillisecond);
  }
  for (test::SignalKind kind : test::kAllSignalKinds) {
    benchmark::RegisterBenchmark(("adpcm4_plain/" + test::SignalName(kind)).c_str(), Plain, kind)
        ->Unit(benchmark::kMillisecond);
  }
}

const bool kRegistered = (RegisterAll(), true);

}  // namespace
}  // namespace velkin::adpcm4
