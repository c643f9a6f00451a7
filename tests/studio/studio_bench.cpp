// The studio's speed, with the console as the yardstick in the same run:
//  1. from adding a sound to having every figure and picture of the comparison: 60 s of 44.1 kHz
//     stereo, and a long recording (10 minutes of 16 kHz mono);
//  2. programming an image of about 1.4 MB into a virtual unit, against the console's DOWNLOAD of
//     the same file (erase and write; the studio's read-back is reported on its own line): once on
//     a bare virtual unit, which answers in microseconds, so that fixed costs show, and once on
//     one that answers about as a full-speed USB unit does (1 ms per command, 1 us per byte).
// Run from the build's bin folder: studio_bench [repeats]. It starts the velkin-studio beside it, so
// build/release/bin/studio_bench measures the optimised studio that the README and the demo start.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "studio_process.h"
#include "tests/support/child_process.h"
#include "tests/support/program_paths.h"
#include "tests/support/virtual_devices.h"
#include "tests/support/wav_builder.h"

namespace {

using namespace velkin::test;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

double Seconds(Clock::time_point from) {
  return std::chrono::duration<double>(Clock::now() - from).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::vector<std::uint8_t> SixtySecondsStereo() {
  constexpr std::size_t kFrames = 44100 * 60;
  const auto tone = Sine(kFrames, 310.0, 44100, 9000);
  const auto noise = Noise(kFrames, 3, 2000);
  std::vector<std::int16_t> samples(2 * kFrames);
  for (std::size_t i = 0; i < kFrames; ++i) {
    samples[2 * i] = static_cast<std::int16_t>(tone[i] + noise[i]);
    samples[2 * i + 1] = static_cast<std::int16_t>(tone[i] / 2);
  }
  return SimpleWav(44100, samples, 2);
}

std::vector<std::uint8_t> TenMinutesMono() {
  constexpr std::size_t kFrames = 16000 * 600;
  const auto tone = Sine(kFrames, 220.0, 16000, 8000);
  const auto noise = Noise(kFrames, 5, 1500);
  std::vector<std::int16_t> samples(kFrames);
  for (std::size_t i = 0; i < kFrames; ++i) samples[i] = static_cast<std::int16_t>(tone[i] + noise[i]);
  return SimpleWav(16000, samples, 1);
}

struct CompareTimes {
  std::vector<double> encoded, every_figure;
};

// What the page does after a drop, `repeats` times: upload, follow the job, fetch the summary, the
// three decoded tracks and the three spectrograms. False when the studio refuses or fails.
bool MeasureCompare(StudioProcess& studio, const std::vector<std::uint8_t>& wav, const std::string& name, int repeats,
                    CompareTimes& t) {
  for (int r = 0; r < repeats; ++r) {
    const auto start = Clock::now();
    const Reply added = studio.Post("/api/sounds?name=" + name, std::string(wav.begin(), wav.end()), "audio/wav");
    const json body = added.Json();
    if (added.status != 201) {
      std::fprintf(stderr, "upload refused: %s\n", added.body.c_str());
      return false;
    }
    const std::string id = std::to_string(body["sound"]["id"].get<int>());
    const json job = studio.WaitJob(body["job"]["id"].get<std::uint64_t>(), std::chrono::seconds(600));
    t.encoded.push_back(Seconds(start));
    if (job["result"] != "encoded") {
      std::fprintf(stderr, "encoding failed: %s\n", job.dump().c_str());
      return false;
    }
    studio.Get("/api/sounds/" + id);
    for (const char* f : {"reference.wav", "tarpel.wav", "vossik.wav"}) studio.Get("/api/sounds/" + id + "/files/" + f);
    for (const char* s : {"source", "tarpel", "vossik"}) studio.Get("/api/sounds/" + id + "/spectrogram/" + s);
    t.every_figure.push_back(Seconds(start));
  }
  return true;
}

struct ProgramTimes {
  std::vector<double> studio_write, studio_total, job_write, job_total, console_write;
};

// Programs the code file `image` (the studio's sound 1, TARPEL) into `unit` through the studio and
// through the console, `repeats` times each; false when either fails.
bool MeasureProgramming(StudioProcess& studio, ChildProcess& console, const std::string& unit, const std::string& image,
                        int repeats, ProgramTimes& t) {
  for (int r = 0; r < repeats; ++r) {
    const auto start = Clock::now();
    const Reply started = studio.Post(
        "/api/program", json{{"sound", 1}, {"encoding", "tarpel"}, {"units", {unit}}}.dump(), "application/json");
    const std::uint64_t id = started.Json()["jobs"][0]["id"];
    double written = 0;
    json job;
    do {
      job = studio.Get("/api/jobs/" + std::to_string(id)).Json();
      if (written == 0 && job["step"] == "verify") written = Seconds(start);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } while (job["state"] == "running");
    t.studio_total.push_back(Seconds(start));
    // The job's own clock: the work itself, without the HTTP round trips of this loop.
    t.job_write.push_back((job["times_ms"].value("erase", 0.0) + job["times_ms"].value("write", 0.0)) / 1000.0);
    t.job_total.push_back(job.value("elapsed_ms", 0.0) / 1000.0);
    t.studio_write.push_back(written != 0 ? written : t.studio_total.back());
    if (job["result"] != "verified") {
      std::fprintf(stderr, "programming failed: %s\n", job.dump().c_str());
      return false;
    }
  }
  for (int r = 0; r < repeats; ++r) {
    const auto start = Clock::now();
    const auto answer = console.Command("DOWNLOAD \"" + image + "\" \"2097152\" \"65536\"", std::chrono::seconds(120));
    t.console_write.push_back(Seconds(start));
    if (!answer || std::find(answer->begin(), answer->end(), "+DOWNLOAD:write Ok") == answer->end()) {
      std::fprintf(stderr, "the console's download failed\n");
      return false;
    }
  }
  return true;
}

void PrintProgramming(const char* title, const ProgramTimes& t) {
  std::printf("%s\n", title);
  const auto ms = [](double seconds) { return seconds * 1000.0; };
  const double console_ms = ms(Median(t.console_write));
  std::printf("  console DOWNLOAD (erase, write), answer to answer   %8.2f ms\n", console_ms);
  const auto row = [&](const char* what, const std::vector<double>& v) {
    std::printf("  %-50s %8.2f ms  (%.3fx)\n", what, ms(Median(v)), ms(Median(v)) / console_ms);
  };
  row("studio erase, write, request to job step", t.studio_write);
  row("studio erase, write, read back, request to result", t.studio_total);
  row("by the job's own clock: erase, write", t.job_write);
  row("by the job's own clock: erase, write, read back", t.job_total);
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  VirtualDevices devices;
  VirtualDeviceSetup setup;
  setup.trace = false;
  setup.flash_id[2] = 0x15;  // 2 MiB
  setup.flash_size = 2u << 20;
  devices.Create("unit", setup);
  TempDir files;

  CompareTimes stereo, long_mono;
  ProgramTimes bare, usb;
  std::size_t image_size = 0;
  {
    StudioProcess studio;
    if (!studio.started()) {
      std::fprintf(stderr, "velkin-studio did not start\n");
      return 1;
    }
    // The 60 s sound first: the programming below takes sound 1.
    if (!MeasureCompare(studio, SixtySecondsStereo(), "bench.wav", repeats, stereo)) return 1;
    if (!MeasureCompare(studio, TenMinutesMono(), "long.wav", repeats, long_mono)) return 1;
    const std::string code = studio.Get("/api/sounds/1/files/tarpel.cod").body;
    image_size = code.size();
    WriteFileBytes(files.File("image.cod"), ByteVector(code.begin(), code.end()));

    auto console = ChildProcess::Start(ProgramPath("VelkinUtils"), {"QUAMIRA", "VOXA CDROM"});
    if (!console || !console->ReadUntilPrompt()) {
      std::fprintf(stderr, "VelkinUtils did not start\n");
      return 1;
    }
    const std::string unit = studio.WaitDevices([](const json& l) { return !l.empty(); })[0]["name"];
    if (!MeasureProgramming(studio, *console, unit, files.File("image.cod"), repeats, bare)) return 1;
    devices.Set("unit", "command_us", "1000");
    devices.Set("unit", "byte_ns", "1000");
    if (!MeasureProgramming(studio, *console, unit, files.File("image.cod"), repeats, usb)) return 1;
    console->WriteLine("QUIT");
    console->Wait();
  }

  std::printf("medians of %d runs\n", repeats);
  std::printf("velkin-studio measured: %s\n", ProgramPath("velkin-studio").c_str());
  std::printf("60 s 44.1 kHz stereo: encoded %.3f s, every figure and picture %.3f s (target < 1 s)\n",
              Median(stereo.encoded), Median(stereo.every_figure));
  std::printf("10 min 16 kHz mono: encoded %.3f s, every figure and picture %.3f s (target < 5 s)\n",
              Median(long_mono.encoded), Median(long_mono.every_figure));
  std::printf("programming %zu bytes into a 2 MiB virtual unit\n", image_size);
  PrintProgramming("a bare virtual unit (answers in microseconds: fixed costs show):", bare);
  PrintProgramming("a virtual unit answering as a full-speed USB unit (1 ms per command, 1 us per byte):", usb);
  return 0;
}
