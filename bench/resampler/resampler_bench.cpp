// How many times faster than realtime the resampler converts ten seconds of sound to 16000 Hz,
// the converter's job: a fresh configuration and one run over the whole input, large filter,
// interpolated coefficients. Optional side-by-side runs of libsoxr (HQ) and libsamplerate
// (SINC_MEDIUM) on the same input, and the ratios at the end.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "resampler/resampler.h"
#include "tests/support/signals/test_signals.h"

#include "tests/resampler/reference_resampler.h"
#if VELKIN_BENCH_SOXR
#include <soxr.h>
#endif
#if VELKIN_BENCH_SAMPLERATE
#include <samplerate.h>
#endif

namespace {

constexpr double kSeconds = 10.0;
constexpr double kOutputRate = 16000.0;
constexpr int kInputRates[] = {44100, 48000, 22050, 8000};

// Ten seconds of something like music at each input rate.
const std::vector<std::int16_t>& Input(int rate) {
  static std::map<int, std::vector<std::int16_t>> cache;
  auto& s = cache[rate];
  if (s.empty()) s = velkin::test::MusicLike(static_cast<std::size_t>(kSeconds * rate), rate);
  return s;
}

std::int32_t OutputCount(int rate) {
  return static_cast<std::int32_t>(kSeconds * rate * kOutputRate / rate);
}

void SetRealtime(benchmark::State& state) {
  state.counters["x_realtime"] =
      benchmark::Counter(kSeconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void Sondrel(benchmark::State& state) {
  const int rate = static_cast<int>(state.range(0));
  const auto& in = Input(rate);
  std::vector<std::int16_t> out(static_cast<std::size_t>(OutputCount(rate)));
  for (auto _ : state) {
    velkin::sondrel::C_Resampler r(true, false, true);
    r.configure(kOutputRate / rate, 1, 1.0);
    std::int32_t n = static_cast<std::int32_t>(in.size());
    benchmark::DoNotOptimize(r.run(n, OutputCount(rate), in.data(), out.data()));
    benchmark::ClobberMemory();
  }
  SetRealtime(state);
}

void StraightforwardLoop(benchmark::State& state) {
  const int rate = static_cast<int>(state.range(0));
  const auto& in = Input(rate);
  std::vector<std::int16_t> out(static_cast<std::size_t>(OutputCount(rate)));
  for (auto _ : state) {
    velkin::test::ReferenceResampler r(true, false, true);
    r.configure(kOutputRate / rate, 1, 1.0);
    std::int32_t n = static_cast<std::int32_t>(in.size());
    benchmark::DoNotOptimize(r.run(n, OutputCount(rate), in.data(), out.data()));
    benchmark::ClobberMemory();
  }
  SetRealtime(state);
}

#if VELKIN_BENCH_SOXR
void Soxr(benchmark::State& state) {
  const int rate = static_cast<int>(state.range(0));
  const auto& in = Input(rate);
  std::vector<std::int16_t> out(static_cast<std::size_t>(OutputCount(rate)));
  const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);  // one core, like the others
  for (auto _ : state) {
    std::size_t done = 0;
    soxr_oneshot(rate, kOutputRate, 1, in.data(), in.size(), nullptr, out.data(), out.size(), &done, &io, &quality,
                 &runtime);
    benchmark::DoNotOptimize(done);
  }
  SetRealtime(state);
}
#endif

#if VELKIN_BENCH_SAMPLERATE
void Samplerate(benchmark::State& state) {
  const int rate = static_cast<int>(state.range(0));
  const auto& in = Input(rate);
  std::vector<float> fin(in.size()), fout(static_cast<std::size_t>(OutputCount(rate)));
  std::vector<std::int16_t> out(fout.size());
  for (auto _ : state) {
    // 16-bit in and out, like the others: the conversions are part of the job.
    src_short_to_float_array(in.data(), fin.data(), static_cast<int>(in.size()));
    SRC_DATA data{};
    data.data_in = fin.data();
    data.data_out = fout.data();
    data.input_frames = static_cast<long>(fin.size());
    data.output_frames = static_cast<long>(fout.size());
    data.src_ratio = kOutputRate / rate;
    src_simple(&data, SRC_SINC_MEDIUM_QUALITY, 1);
    src_float_to_short_array(fout.data(), out.data(), static_cast<int>(data.output_frames_gen));
    benchmark::DoNotOptimize(out.data());
  }
  SetRealtime(state);
}
#endif

void Rates(benchmark::internal::Benchmark* b) {
  for (int rate : kInputRates) b->Arg(rate);
  b->Unit(benchmark::kMillisecond)->MinTime(0.5);
}

BENCHMARK(Sondrel)->Apply(Rates);
BENCHMARK(StraightforwardLoop)->Apply(Rates);
#if VELKIN_BENCH_SOXR
BENCHMARK(Soxr)->Apply(Rates);
#endif
#if VELKIN_BENCH_SAMPLERATE
BENCHMARK(Samplerate)->Apply(Rates);
#endif

// Collects x realtime (audio seconds per CPU second) per benchmark to print the ratios after the
// usual table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      const auto it = run.counters.find("x_realtime");
      if (it != run.counters.end()) results_[run.run_name.function_name + "/" + run.run_name.args] = it->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatios() const {
    std::printf("\n%-10s %14s", "rate", "Sondrel x rt");
    for (const char* other : {"StraightforwardLoop", "Soxr", "Samplerate"}) std::printf(" %22s", other);
    std::printf("\n");
    for (int rate : kInputRates) {
      const auto own = results_.find("Sondrel/" + std::to_string(rate));
      if (own == results_.end()) continue;
      std::printf("%-10s %14.0f", (std::to_string(rate) + "->16k").c_str(), own->second);
      for (const char* other : {"StraightforwardLoop", "Soxr", "Samplerate"}) {
        const auto it = results_.find(std::string(other) + "/" + std::to_string(rate));
        if (it == results_.end()) {
          std::printf(" %22s", "-");
        } else {
          std::printf(" %9.0f x rt (%5.2fx)", it->second, own->second / it->second);
        }
      }
      std::printf("\n");
    }
    std::printf("(in brackets: how many times faster Sondrel is)\n");
  }

 private:
  std::map<std::string, double> results_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
