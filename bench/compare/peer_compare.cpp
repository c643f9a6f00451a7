// Ours against the tools a user would pick instead, on the same inputs in one run:
//   VOSSIK (4-bit ADPCM)      against libavcodec's adpcm_ima_wav encoder
//   ZOLT_WaveConverter        against libsoxr (HQ) and libsamplerate (SINC_MEDIUM_QUALITY)
//   TARPEL (12-bit PCM)       against a plain WAV-to-WAV copy
// Every job is file to file: ours through the exports, the peers reading the same WAV file and
// writing their output, so that both sides pay for their input and output. Each job runs
// --repeat times (default 3); the table gives the medians of CPU time and of wall time, the
// ratio ours / peer for both (below 1: ours is faster) and how many times faster than real time
// ours runs. Inputs are generated (speech-like, sine, noise, low-level, full-scale square, and
// music-like for the converter), plus espeak-ng speech when espeak-ng is installed.
//
// usage: bench_compare [--seconds S] [--repeat N]
#include <velkin/sondrel.h>
#include <velkin/tarpel.h>
#include <velkin/vossik.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}
#include <samplerate.h>
#include <soxr.h>

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
#include <string>
#include <vector>

#include "tests/support/signals/test_signals.h"
#include "tests/support/wav_builder.h"

namespace {

namespace fs = std::filesystem;
using velkin::test::ByteVector;

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

// The samples of a 16-bit mono WAV file (the data chunk; its size is trusted only as far as the
// file goes) and its rate.
struct Wav {
  std::uint32_t rate = 0;
  std::vector<std::int16_t> samples;
};

Wav ReadWav(const std::string& path) {
  const ByteVector b = velkin::test::ReadFileBytes(path);
  Wav w;
  for (std::size_t at = 12; at + 8 <= b.size();) {
    const std::uint32_t size = velkin::test::GetU32(b, at + 4);
    const std::size_t body = at + 8;
    const auto tag =
        std::string(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at) + 4);
    if (tag == "fmt " && body + 8 <= b.size()) {
      w.rate = velkin::test::GetU32(b, body + 4);
    } else if (tag == "data") {
      const std::size_t n = std::min<std::size_t>(size, b.size() - body) / 2;
      w.samples.resize(n);
      for (std::size_t i = 0; i < n; ++i)
        w.samples[i] = static_cast<std::int16_t>(velkin::test::GetU16(b, body + 2 * i));
      break;
    }
    at = body + size + (size & 1);
  }
  return w;
}

void WriteRaw(const std::string& path, const void* data, std::size_t bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return;
  std::fwrite(data, 1, bytes, f);
  std::fclose(f);
}

// libsoxr's one-shot conversion, also used to bring espeak-ng's 22050 Hz speech to other rates.
std::vector<std::int16_t> Soxr(const std::vector<std::int16_t>& in, double from, double to, unsigned long recipe) {
  std::vector<std::int16_t> out(static_cast<std::size_t>(std::ceil(static_cast<double>(in.size()) * to / from)) + 16);
  const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(recipe, 0);
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);  // one thread, like the others
  std::size_t done = 0;
  soxr_oneshot(from, to, 1, in.data(), in.size(), nullptr, out.data(), out.size(), &done, &io, &quality, &runtime);
  out.resize(done);
  return out;
}

// libavcodec's IMA ADPCM (WAV flavour) over the whole signal; returns the bytes of the packets.
std::vector<std::uint8_t> AvcodecImaAdpcm(const std::vector<std::int16_t>& samples, int rate) {
  std::vector<std::uint8_t> out;
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_ADPCM_IMA_WAV);
  AVCodecContext* ctx = codec ? avcodec_alloc_context3(codec) : nullptr;
  if (!ctx) return out;
  ctx->sample_rate = rate;
  ctx->sample_fmt = AV_SAMPLE_FMT_S16P;
  av_channel_layout_default(&ctx->ch_layout, 1);
  AVFrame* frame = nullptr;
  AVPacket* packet = av_packet_alloc();
  if (avcodec_open2(ctx, codec, nullptr) == 0 && packet && (frame = av_frame_alloc())) {
    frame->nb_samples = ctx->frame_size;
    frame->format = ctx->sample_fmt;
    av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout);
    av_frame_get_buffer(frame, 0);
    auto drain = [&] {
      while (avcodec_receive_packet(ctx, packet) == 0) {
        out.insert(out.end(), packet->data, packet->data + packet->size);
        av_packet_unref(packet);
      }
    };
    for (std::size_t at = 0; at + static_cast<std::size_t>(ctx->frame_size) <= samples.size(); at += ctx->frame_size) {
      av_frame_make_writable(frame);
      std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(at), ctx->frame_size,
                  reinterpret_cast<std::int16_t*>(frame->data[0]));
      avcodec_send_frame(ctx, frame);
      drain();
    }
    avcodec_send_frame(ctx, nullptr);
    drain();
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&ctx);
  return out;
}

struct Row {
  std::string job;
  std::string input;
  std::string peer;
  double seconds_of_sound;
  Timing ours;
  Timing theirs;
};

void Print(const std::vector<Row>& rows) {
  std::printf("%-26s %-16s %-24s %9s %9s %7s %9s %9s %7s %10s\n", "job", "input", "peer", "ours cpu", "peer cpu",
              "ratio", "ours wall", "peer wall", "ratio", "ours x rt");
  for (const Row& r : rows) {
    std::printf("%-26s %-16s %-24s %8.3fs %8.3fs %7.2f %8.3fs %8.3fs %7.2f %9.0fx\n", r.job.c_str(), r.input.c_str(),
                r.peer.c_str(), r.ours.cpu, r.theirs.cpu, r.ours.cpu / r.theirs.cpu, r.ours.wall, r.theirs.wall,
                r.ours.wall / r.theirs.wall, r.seconds_of_sound / r.ours.cpu);
  }
}

// espeak-ng reading a text that repeats until it lasts about `seconds`; empty when espeak-ng is
// missing or fails.
Wav EspeakSpeech(const fs::path& dir, double seconds) {
  const fs::path text = dir / "speech.txt";
  const fs::path wav = dir / "speech.wav";
  std::string words;
  static const char* kSentence =
      "The quick brown fox jumps over the lazy dog, while seven engineers measure every sample of sound. ";
  // espeak-ng speaks about 2.6 words a second at its default rate.
  for (double said = 0; said < seconds; said += 17 / 2.6) words += kSentence;
  WriteRaw(text.string(), words.data(), words.size());
  const std::string command = "espeak-ng -w '" + wav.string() + "' -f '" + text.string() + "' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) return {};
  return ReadWav(wav.string());
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 60;
  int repeat = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--seconds") seconds = std::atof(argv[i + 1]);
    if (flag == "--repeat") repeat = std::max(1, std::atoi(argv[i + 1]));
  }
  const fs::path dir = fs::temp_directory_path() / ("bench_compare-" + std::to_string(std::time(nullptr)));
  fs::create_directories(dir);
  const auto count16 = static_cast<std::size_t>(seconds * 16000);

  // 16 kHz inputs for the encoders.
  struct Input {
    std::string name;
    std::vector<std::int16_t> samples;
  };
  std::vector<Input> inputs16;
  Wav espeak = EspeakSpeech(dir, seconds);
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
  for (const Input& in : inputs16) {
    const std::string path = (dir / "in16.wav").string();
    const std::string out = (dir / "out.cod").string();
    const std::string copy = (dir / "copy.wav").string();
    velkin::test::WriteFileBytes(path, velkin::test::SimpleWav(16000, in.samples));
    const double sound = static_cast<double>(in.samples.size()) / 16000;
    const Timing vossik =
        Measure(repeat, [&] { VOSSIK(out.c_str(), path.c_str(), "12000000", "8", 0, 0, nullptr, 0); });
    const Timing ima = Measure(repeat, [&] {
      const auto bytes = AvcodecImaAdpcm(ReadWav(path).samples, 16000);
      WriteRaw(out, bytes.data(), bytes.size());
    });
    rows.push_back({"4-bit ADPCM, 16 kHz", in.name, "libavcodec adpcm_ima_wav", sound, vossik, ima});
    const Timing tarpel =
        Measure(repeat, [&] { TARPEL(out.c_str(), path.c_str(), "12000000", "8", 0, 0, nullptr, 0); });
    const Timing plain = Measure(repeat, [&] {
      const ByteVector bytes = velkin::test::ReadFileBytes(path);
      WriteRaw(copy, bytes.data(), bytes.size());
    });
    rows.push_back({"12-bit PCM, 16 kHz", in.name, "plain WAV copy", sound, tarpel, plain});
  }

  // The converter: music-like sound (and speech when there is some) at several rates to 16 kHz.
  std::vector<Input> sources;
  if (!espeak.samples.empty()) sources.push_back({"espeak-ng speech", espeak.samples});
  const auto music_count = static_cast<std::size_t>(seconds * 48000);
  const std::vector<std::int16_t> music = velkin::test::MusicLike(music_count, 48000);
  sources.push_back({"music-like", music});
  for (const Input& source : sources) {
    const double from_rate = source.name == "music-like" ? 48000 : espeak.rate;
    for (const int rate : {44100, 48000, 32000, 22050, 11025, 8000}) {
      auto samples = Soxr(source.samples, from_rate, rate, SOXR_VHQ);
      samples.resize(std::min(samples.size(), static_cast<std::size_t>(seconds * rate)));
      const std::string path = (dir / "in.wav").string();
      const std::string out = (dir / "out.wav").string();
      velkin::test::WriteFileBytes(path, velkin::test::SimpleWav(static_cast<std::uint32_t>(rate), samples));
      const double sound = static_cast<double>(samples.size()) / rate;
      const Timing ours = Measure(repeat, [&] { ZOLT_WaveConverter(path.c_str(), out.c_str(), 16000.0f); });
      const Timing soxr = Measure(repeat, [&] {
        const auto converted = Soxr(ReadWav(path).samples, rate, 16000, SOXR_HQ);
        velkin::test::WriteFileBytes(out, velkin::test::SimpleWav(16000, converted));
      });
      const Timing src = Measure(repeat, [&] {
        const auto in = ReadWav(path).samples;
        std::vector<float> fin(in.size());
        std::vector<float> fout(in.size() * 16000 / static_cast<std::size_t>(rate) + 16);
        src_short_to_float_array(in.data(), fin.data(), static_cast<int>(in.size()));
        SRC_DATA data{};
        data.data_in = fin.data();
        data.input_frames = static_cast<long>(fin.size());
        data.data_out = fout.data();
        data.output_frames = static_cast<long>(fout.size());
        data.src_ratio = 16000.0 / rate;
        src_simple(&data, SRC_SINC_MEDIUM_QUALITY, 1);
        std::vector<std::int16_t> converted(static_cast<std::size_t>(data.output_frames_gen));
        src_float_to_short_array(fout.data(), converted.data(), static_cast<int>(converted.size()));
        velkin::test::WriteFileBytes(out, velkin::test::SimpleWav(16000, converted));
      });
      const std::string job = std::to_string(rate) + " Hz -> 16 kHz";
      rows.push_back({job, source.name, "libsoxr HQ", sound, ours, soxr});
      rows.push_back({job, source.name, "libsamplerate medium", sound, ours, src});
    }
  }

  Print(rows);
  std::error_code ec;
  fs::remove_all(dir, ec);
  return 0;
}
