// Ours against the tools a user would pick instead, on the same inputs in one run:
//   VOSSIK (4-bit ADPCM)      against libavcodec's adpcm_ima_wav encoder
//   ZOLT_WaveConverter        against libsoxr (HQ) and libsamplerate (SINC_MEDIUM_QUALITY)
//   TARPEL (12-bit PCM)       against a plain WAV-to-WAV copy
// Every job is file to file: ours through the exports, the peers reading the same WAV file and
// writing their output, so that both sides pay for their input and output. Each job runs
// --repeat times (default 3) in this process ("in-process" rows), and as many times as a process
// of its own ("process" rows: a small program per side, bench_job_ours and bench_job_soxr or
// bench_job_ima, or cp for the copy, started once per job, its CPU time taken from wait4), which is
// how a user's program or the console runs a conversion: loading, first touches of memory and all.
// The table gives the medians of CPU time and of wall time, the ratio ours / peer for both (below
// 1: ours is faster) and how many times faster than real time ours runs. Inputs are generated
// (speech-like, sine, noise, low-level, full-scale square, and music-like for the converter), plus
// espeak-ng speech when espeak-ng is installed.
//
// usage: bench_compare [--seconds S] [--repeat N] [--only encoders|converter] [--rates R,R...]
// (--rates: the converter's input rates, by default 44100,48000,32000,22050,11025,8000)
#include <velkin/sondrel.h>
#include <velkin/tarpel.h>
#include <velkin/vossik.h>

#include <soxr.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "bench/compare/peers.h"
#include "tests/support/signals/test_signals.h"

namespace {

namespace fs = std::filesystem;

struct Timing {
  double cpu = 0;
  double wall = 0;
};

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Medians of `repeat` runs.
Timing Measure(int repeat, const std::function<void()>& job) {
  std::vector<double> cpu, wall;
  for (int i = 0; i < repeat; ++i) {
    const double c0 = CpuSeconds();
    const auto w0 = std::chrono::steady_clock::now();
    job();
    wall.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count());
    cpu.push_back(CpuSeconds() - c0);
  }
  std::sort(cpu.begin(), cpu.end());
  std::sort(wall.begin(), wall.end());
  return {cpu[cpu.size() / 2], wall[wall.size() / 2]};
}

double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}

// Medians of `repeat` runs of `argv` as a child process each: its CPU time (user and system, from
// wait4) and the wall time from start to reaped. A job that fails is reported and counted anyway.
Timing MeasureProcesses(int repeat, const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<double> cpu, wall;
  for (int i = 0; i < repeat; ++i) {
    const auto w0 = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
      execvp(args[0], args.data());
      _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child) {
      std::fprintf(stderr, "bench_compare: cannot run %s\n", argv[0].c_str());
      return {};
    }
    wall.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count());
    cpu.push_back(Seconds(usage.ru_utime) + Seconds(usage.ru_stime));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "bench_compare: %s failed (status %d)\n", argv[0].c_str(), status);
    }
  }
  std::sort(cpu.begin(), cpu.end());
  std::sort(wall.begin(), wall.end());
  return {cpu[cpu.size() / 2], wall[wall.size() / 2]};
}

struct Row {
  std::string job;
  std::string input;
  std::string peer;
  const char* runs;  // "in-process" or "process"
  double seconds_of_sound;
  Timing ours;
  Timing theirs;
};

void Print(const std::vector<Row>& rows) {
  std::printf("%-26s %-16s %-24s %-10s %9s %9s %7s %9s %9s %7s %10s\n", "job", "input", "peer", "runs", "ours cpu",
              "peer cpu", "ratio", "ours wall", "peer wall", "ratio", "ours x rt");
  for (const Row& r : rows) {
    std::printf("%-26s %-16s %-24s %-10s %8.3fs %8.3fs %7.2f %8.3fs %8.3fs %7.2f %9.0fx\n", r.job.c_str(),
                r.input.c_str(), r.peer.c_str(), r.runs, r.ours.cpu, r.theirs.cpu, r.ours.cpu / r.theirs.cpu,
                r.ours.wall, r.theirs.wall, r.ours.wall / r.theirs.wall, r.seconds_of_sound / r.ours.cpu);
  }
}

// espeak-ng reading a text that repeats until it lasts at least about `seconds`; empty when
// espeak-ng is missing or fails.
velkin::bench::Wav EspeakSpeech(const fs::path& dir, double seconds) {
  const fs::path text = dir / "speech.txt";
  const fs::path wav = dir / "speech.wav";
  std::string words;
  static const char* kSentence =
      "The quick brown fox jumps over the lazy dog, while seven engineers measure every sample of sound. ";
  // espeak-ng speaks a little over 3 words a second at its default rate; the callers cut.
  for (double said = 0; said < seconds; said += 17 / 3.2) words += kSentence;
  velkin::bench::WriteRaw(text.string(), words.data(), words.size());
  const std::string command = "espeak-ng -w '" + wav.string() + "' -f '" + text.string() + "' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) return {};
  return velkin::bench::ReadWav(wav.string());
}

}  // namespace

int main(int argc, char** argv) {
  using velkin::bench::Soxr;
  double seconds = 60;
  int repeat = 3;
  std::string only;
  std::vector<int> rates = {44100, 48000, 32000, 22050, 11025, 8000};
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--seconds") seconds = std::atof(argv[i + 1]);
    if (flag == "--repeat") repeat = std::max(1, std::atoi(argv[i + 1]));
    if (flag == "--only") only = argv[i + 1];
    if (flag == "--rates") {
      rates.clear();
      std::istringstream list(argv[i + 1]);
      for (std::string rate; std::getline(list, rate, ',');) {
        if (std::atoi(rate.c_str()) > 0) rates.push_back(std::atoi(rate.c_str()));
      }
    }
  }
  // The job programs sit beside this one.
  const fs::path bin = fs::canonical("/proc/self/exe").parent_path();
  const std::string ours_job = (bin / "bench_job_ours").string();
  const fs::path dir = fs::temp_directory_path() / ("bench_compare-" + std::to_string(std::time(nullptr)));
  fs::create_directories(dir);
  const auto count16 = static_cast<std::size_t>(seconds * 16000);

  // 16 kHz inputs for the encoders.
  struct Input {
    std::string name;
    std::vector<std::int16_t> samples;
  };
  std::vector<Input> inputs16;
  velkin::bench::Wav espeak = EspeakSpeech(dir, seconds);
  if (!espeak.samples.empty()) {
    auto s16 = Soxr(espeak.samples, espeak.rate, 16000, SOXR_VHQ);
    s16.resize(std::min(s16.size(), count16));
    inputs16.push_back({"espeak-ng speech", std::move(s16)});
  }
  using velkin::test::SignalKind;
  for (SignalKind kind :
       {SignalKind::kSpeech, SignalKind::kSine, SignalKind::kNoise, SignalKind::kLowLevel, SignalKind::kSquare}) {
    inputs16.push_back({velkin::test::SignalName(kind), velkin::test::MakeSignal(kind, count16, 3)});
  }

  std::vector<Row> rows;
  const bool encoders = only.empty() || only == "encoders";
  const bool converter = only.empty() || only == "converter";
  for (const Input& in : encoders ? inputs16 : std::vector<Input>{}) {
    const std::string path = (dir / "in16.wav").string();
    const std::string out = (dir / "out.cod").string();
    const std::string copy = (dir / "copy.wav").string();
    velkin::bench::WriteWav(path, 16000, in.samples);
    const double sound = static_cast<double>(in.samples.size()) / 16000;
    const Timing vossik =
        Measure(repeat, [&] { VOSSIK(out.c_str(), path.c_str(), "12000000", "8", 0, 0, nullptr, 0); });
    const Timing ima = Measure(repeat, [&] { velkin::bench::ImaAdpcmJob(path, out); });
    rows.push_back({"4-bit ADPCM, 16 kHz", in.name, "libavcodec adpcm_ima_wav", "in-process", sound, vossik, ima});
    rows.push_back({"4-bit ADPCM, 16 kHz", in.name, "libavcodec adpcm_ima_wav", "process", sound,
                    MeasureProcesses(repeat, {ours_job, "vossik", path, out}),
                    MeasureProcesses(repeat, {(bin / "bench_job_ima").string(), path, out})});
    const Timing tarpel =
        Measure(repeat, [&] { TARPEL(out.c_str(), path.c_str(), "12000000", "8", 0, 0, nullptr, 0); });
    const Timing plain = Measure(repeat, [&] { velkin::bench::CopyJob(path, copy); });
    rows.push_back({"12-bit PCM, 16 kHz", in.name, "plain WAV copy", "in-process", sound, tarpel, plain});
    rows.push_back({"12-bit PCM, 16 kHz", in.name, "plain WAV copy", "process", sound,
                    MeasureProcesses(repeat, {ours_job, "tarpel", path, out}),
                    MeasureProcesses(repeat, {"cp", path, copy})});
  }

  // The converter: music-like sound (and speech when there is some) at several rates to 16 kHz.
  std::vector<Input> sources;
  if (!espeak.samples.empty()) sources.push_back({"espeak-ng speech", espeak.samples});
  const auto music_count = static_cast<std::size_t>(seconds * 48000);
  const std::vector<std::int16_t> music = velkin::test::MusicLike(music_count, 48000);
  sources.push_back({"music-like", music});
  for (const Input& source : converter ? sources : std::vector<Input>{}) {
    const double from_rate = source.name == "music-like" ? 48000 : espeak.rate;
    for (const int rate : rates) {
      auto samples = Soxr(source.samples, from_rate, rate, SOXR_VHQ);
      samples.resize(std::min(samples.size(), static_cast<std::size_t>(seconds * rate)));
      const std::string path = (dir / "in.wav").string();
      const std::string out = (dir / "out.wav").string();
      velkin::bench::WriteWav(path, static_cast<std::uint32_t>(rate), samples);
      const double sound = static_cast<double>(samples.size()) / rate;
      const Timing ours = Measure(repeat, [&] { ZOLT_WaveConverter(path.c_str(), out.c_str(), 16000.0f); });
      const Timing soxr = Measure(repeat, [&] { velkin::bench::SoxrHqJob(path, out, 16000); });
      const Timing src = Measure(repeat, [&] { velkin::bench::SamplerateMediumJob(path, out, 16000); });
      const std::string job = std::to_string(rate) + " Hz -> 16 kHz";
      rows.push_back({job, source.name, "libsoxr HQ", "in-process", sound, ours, soxr});
      rows.push_back({job, source.name, "libsoxr HQ", "process", sound,
                      MeasureProcesses(repeat, {ours_job, "convert", path, out, "16000"}),
                      MeasureProcesses(repeat, {(bin / "bench_job_soxr").string(), path, out, "16000"})});
      rows.push_back({job, source.name, "libsamplerate medium", "in-process", sound, ours, src});
    }
  }

  Print(rows);
  std::error_code ec;
  fs::remove_all(dir, ec);
  return 0;
}
