#include "sounds.h"

#include <velkin/sondrel.h>
#include <velkin/tarpel.h>
#include <velkin/vossik.h>

#include <array>
#include <chrono>
#include <cmath>
#include <fstream>
#include <iterator>

#include "formats/code_file.h"
#include "riff/wave_file.h"
#include "sound/mono.h"

namespace velkin::studio {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kSourceFile = "source.wav";
constexpr const char* kResampledFile = "resampled.wav";
constexpr const char* kMonoFile = "mono.wav";
constexpr const char* kReferenceFile = "reference.wav";
constexpr const char* kReservedText = "8";

// The converter keeps one process-wide counter and so converts one file at a time.
std::mutex converter_lock;

using Encoder = int32_t(VELKIN_CALL*)(const char*, const char*, const char*, const char*, int32_t, uint32_t,
                                      EncoderProgressCallback, intptr_t);

struct EncoderEntry {
  const char* key;    // "tarpel", "vossik": file names and JSON keys
  const char* label;  // shown as the job's step
  Encoder encode;
};

constexpr std::array<EncoderEntry, 2> kEncoders = {{{"tarpel", "TARPEL", TARPEL}, {"vossik", "VOSSIK", VOSSIK}}};

// Progress of one encoder call mapped into a share of the job's bar.
struct ProgressShare {
  Job* job;
  int base;
  int span;
};

int32_t VELKIN_CALL OnEncoderProgress(int32_t /*source*/, int32_t percent, intptr_t user) {
  auto* share = reinterpret_cast<ProgressShare*>(user);
  share->job->Progress(share->base + share->span * std::clamp(percent, 0, 100) / 100);
  return 0;
}

json Finite(double value) {
  return std::isfinite(value) ? json(std::round(value * 100.0) / 100.0) : json(nullptr);
}

bool WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::optional<std::vector<std::uint8_t>> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

bool ParseNumber(const std::string& text, std::uint64_t max, std::uint64_t& out) {
  if (text.empty() || text.size() > 12) return false;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > max) return false;
  out = value;
  return true;
}

}  // namespace

bool ParseEncodeSettings(const std::string& rate, const std::string& clock, const std::string& threshold,
                         EncodeSettings& out, std::string& error) {
  std::uint64_t value = 0;
  if (!rate.empty()) {
    if (!ParseNumber(rate, 96000, value) || value < 4000) {
      error = "rate must be a number of samples per second from 4000 to 96000";
      return false;
    }
    out.rate = static_cast<std::uint32_t>(value);
  }
  if (!clock.empty()) {
    if (!ParseNumber(clock, 100000000, value) || value < 1000000) {
      error = "clock must be a number of Hz from 1000000 to 100000000";
      return false;
    }
    out.clock = clock;
  }
  if (!threshold.empty()) {
    if (!ParseNumber(threshold, 32767, value)) {
      error = "threshold must be a number from 0 to 32767";
      return false;
    }
    out.threshold = static_cast<std::uint32_t>(value);
  }
  return true;
}

json Sound::Summary() {
  std::lock_guard guard(lock_);
  json out = details_;
  out["id"] = id_;
  out["name"] = name_;
  out["state"] = state_;
  if (!error_.empty()) out["error"] = error_;
  return out;
}

std::shared_ptr<const Spectrogram> Sound::SpectrogramOf(const std::string& track) {
  std::lock_guard guard(lock_);
  const auto it = spectrograms_.find(track);
  return it == spectrograms_.end() ? nullptr : it->second;
}

std::optional<fs::path> Sound::CodeFile(const std::string& encoding) {
  {
    std::lock_guard guard(lock_);
    if (state_ != "ready") return std::nullopt;
  }
  for (const auto& e : kEncoders) {
    if (encoding == e.key) return folder_ / (std::string(e.key) + ".cod");
  }
  return std::nullopt;
}

std::shared_ptr<Sound> SoundLibrary::Add(const std::string& name, const std::string& bytes) {
  std::lock_guard guard(lock_);
  const std::uint64_t id = next_++;
  const fs::path folder = root_ / ("sound-" + std::to_string(id));
  std::error_code error;
  fs::create_directory(folder, error);
  if (error || !WriteFile(folder / kSourceFile, bytes)) return nullptr;
  // The name is only ever shown: cut it and drop control characters.
  std::string shown;
  for (const char c : name.substr(0, 200)) {
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) shown += c;
  }
  auto sound = std::make_shared<Sound>(id, shown.empty() ? "sound " + std::to_string(id) : shown, folder);
  sounds_[id] = sound;
  return sound;
}

std::shared_ptr<Sound> SoundLibrary::Find(std::uint64_t id) {
  std::lock_guard guard(lock_);
  const auto it = sounds_.find(id);
  return it == sounds_.end() ? nullptr : it->second;
}

json SoundLibrary::List() {
  std::vector<std::shared_ptr<Sound>> sounds;
  {
    std::lock_guard guard(lock_);
    for (const auto& [id, sound] : sounds_) sounds.push_back(sound);
  }
  json out = json::array();
  for (const auto& sound : sounds) out.push_back(sound->Summary());
  return out;
}

std::optional<fs::path> SoundLibrary::Downloadable(const Sound& sound, const std::string& name) {
  static const std::array<const char*, 6> kNames = {kSourceFile,  kReferenceFile, "tarpel.cod",
                                                    "vossik.cod", "tarpel.wav",   "vossik.wav"};
  for (const char* allowed : kNames) {
    if (name == allowed) {
      const fs::path path = sound.folder() / allowed;
      std::error_code error;
      if (fs::is_regular_file(path, error)) return path;
      return std::nullopt;
    }
  }
  return std::nullopt;
}

std::shared_ptr<Job> SoundLibrary::Encode(const std::shared_ptr<Sound>& sound, const EncodeSettings& settings) {
  {
    std::lock_guard guard(sound->lock_);
    if (sound->state_ == "encoding") return nullptr;
    sound->state_ = "encoding";
    sound->error_.clear();
  }
  return jobs_.Start("encode", std::to_string(sound->id()),
                     [this, sound, settings](Job& job) { Run(*sound, settings, job); });
}

void SoundLibrary::Run(Sound& sound, const EncodeSettings& settings, Job& job) {
  const auto fail = [&](const std::string& reason) {
    {
      std::lock_guard guard(sound.lock_);
      sound.state_ = "failed";
      sound.error_ = reason;
    }
    job.Fail(reason);
  };
  const fs::path folder = sound.folder();
  job.Step("reading", 0);
  std::string error;
  const auto info = InspectWav(folder / kSourceFile, error);
  if (!info) return fail(error);
  if (info->format_tag != 1) return fail("not PCM audio (format tag " + std::to_string(info->format_tag) + ")");
  if (info->bits != 16) {
    return fail("the encoders take 16-bit samples; this file has " + std::to_string(info->bits) + "-bit samples");
  }
  if (info->frames == 0) return fail("the file holds no samples");

  // The console's own routines: its mono routine keeps the first channel, the converter resamples.
  // The first channel is taken before resampling, not after as the console's WAVCONV does: the
  // converter reads every file as one channel, so interleaved stereo would be resampled as one
  // stream and its channels smeared into each other.
  fs::path input = folder / kSourceFile;
  if (info->channels > 1) {
    job.Step("mono", 2);
    if (sound::MakeMonoWave(input.string().c_str(), (folder / kMonoFile).string().c_str(), nullptr) != 1) {
      return fail("the one-channel copy could not be made");
    }
    input = folder / kMonoFile;
  }
  if (info->rate != settings.rate) {
    job.Step("resampling", 4);
    std::lock_guard guard(converter_lock);
    if (ZOLT_WaveConverter(input.string().c_str(), (folder / kResampledFile).string().c_str(),
                           static_cast<float>(settings.rate)) != 1) {
      return fail("the converter could not resample the file");
    }
    input = folder / kResampledFile;
  }
  auto reference = ReadPcm16(input, error);
  if (!reference) return fail("the prepared file cannot be read: " + error);
  const auto reference_wav = riff::Pcm16WaveBytes({.rate = settings.rate, .samples = *reference});
  if (!WriteFile(folder / kReferenceFile, std::string(reference_wav.begin(), reference_wav.end()))) {
    return fail("cannot write into the work folder");
  }

  json encodings = json::object();
  std::map<std::string, std::shared_ptr<const Spectrogram>> pictures;
  pictures["source"] = std::make_shared<Spectrogram>(MakeSpectrogram(*reference));
  const auto clock = static_cast<std::uint32_t>(std::stoul(settings.clock));
  int base = 10;
  for (const auto& e : kEncoders) {
    job.Step(e.label, base);
    const fs::path code = folder / (std::string(e.key) + ".cod");
    ProgressShare share{&job, base, 40};
    const auto start = std::chrono::steady_clock::now();
    const int32_t result =
        e.encode(code.string().c_str(), input.string().c_str(), settings.clock.c_str(), kReservedText, 0,
                 settings.threshold, OnEncoderProgress, reinterpret_cast<intptr_t>(&share));
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (result == 2) return fail(std::string(e.label) + ": the input is not 16-bit PCM");
    if (result != 1) return fail(std::string(e.label) + ": the encoder failed");
    const auto bytes = ReadFile(code);
    if (!bytes) return fail(std::string(e.label) + ": the code file cannot be read");
    auto decoded = decode::DecodeCodeFile(*bytes, clock, error);
    if (!decoded) return fail(std::string(e.label) + ": the code file does not decode: " + error);
    const auto wav = riff::Pcm16WaveBytes({.rate = settings.rate, .samples = decoded->samples});
    if (!WriteFile(folder / (std::string(e.key) + ".wav"), std::string(wav.begin(), wav.end()))) {
      return fail("cannot write into the work folder");
    }
    json marks = json::array();
    for (const auto& m : decoded->marks) {
      marks.push_back(
          {{"type", m.type == 1 ? "start" : "end"}, {"cue", m.cue}, {"label", m.label}, {"at", m.at_sample}});
    }
    json silences = json::array();
    for (const auto& s : decoded->silences) silences.push_back({s.at_sample, s.length});
    encodings[e.key] = {{"bytes", bytes->size()},
                        {"bits_per_sample", Finite(reference->empty() ? 0.0
                                                                      : 8.0 * static_cast<double>(bytes->size()) /
                                                                            static_cast<double>(reference->size()))},
                        {"snr", Finite(Snr(*reference, decoded->samples))},
                        {"segmental_snr", Finite(SegmentalSnr(*reference, decoded->samples))},
                        {"encode_ms", Finite(ms)},
                        {"samples", decoded->samples.size()},
                        {"blocks", decoded->blocks},
                        {"silence_records", decoded->silence_records},
                        {"marks", marks},
                        {"silences", silences}};
    pictures[e.key] = std::make_shared<Spectrogram>(MakeSpectrogram(decoded->samples));
    base += 40;
  }

  json details = {{"source",
                   {{"channels", info->channels},
                    {"rate", info->rate},
                    {"bits", info->bits},
                    {"frames", info->frames},
                    {"seconds", Finite(static_cast<double>(info->frames) / info->rate)}}},
                  {"settings", {{"rate", settings.rate}, {"clock", settings.clock}, {"threshold", settings.threshold}}},
                  {"rate", settings.rate},
                  {"samples", reference->size()},
                  {"encodings", encodings}};
  {
    std::lock_guard guard(sound.lock_);
    sound.state_ = "ready";
    sound.details_ = details;
    sound.spectrograms_ = std::move(pictures);
  }
  job.Succeed("encoded", {{"sound", sound.id()}});
}

}  // namespace velkin::studio
