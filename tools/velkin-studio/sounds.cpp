#include "sounds.h"

#include <velkin/sondrel.h>
#include <velkin/tarpel.h>
#include <velkin/vossik.h>

#include <array>
#include <chrono>
#include <cmath>
#include <fstream>
#include <iterator>
#include <new>

#include "formats/code_file.h"
#include "riff/wave_file.h"
#include "sound/mono.h"
#include "text.h"

namespace velkin::studio {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kSourceFile = "source.wav";
constexpr const char* kResampledFile = "resampled.wav";
constexpr const char* kMonoFile = "mono.wav";
constexpr const char* kReferenceFile = "reference.wav";
constexpr const char* kReservedText = "8";
// The longest name shown, in bytes of UTF-8.
constexpr std::size_t kNameBytes = 200;

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

// Progress of one encoder call mapped into a share of the job's bar. An encoder call cannot be
// interrupted: a job cancelled meanwhile is noted here, and what the call writes is discarded.
struct ProgressShare {
  Job* job;
  int base;
  int span;
  bool cancelled = false;
};

int32_t VELKIN_CALL OnEncoderProgress(int32_t /*source*/, int32_t percent, intptr_t user) {
  auto* share = reinterpret_cast<ProgressShare*>(user);
  if (share->cancelled || share->job->Cancelled()) {
    share->cancelled = true;
    return 0;
  }
  share->job->Progress(share->base + share->span * std::clamp(percent, 0, 100) / 100);
  return 0;
}

// The files an encode leaves for the page; what else it writes (the converter's and the mono
// routine's copies, the encoders' raw previews) goes once it has ended.
bool Kept(const std::string& name) {
  for (const char* kept : {kSourceFile, kReferenceFile, "tarpel.cod", "vossik.cod", "tarpel.wav", "vossik.wav"}) {
    if (name == kept) return true;
  }
  return false;
}

std::uint64_t FolderBytes(const fs::path& folder) {
  std::uint64_t total = 0;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    std::error_code size_error;
    const auto size = it->file_size(size_error);
    if (!size_error) total += size;
  }
  return total;
}

// The most an encode of `info` at `rate` writes: every copy of the samples at the target rate (the
// resampled and reference files, two code files, their previews and their decoded versions, at two
// bytes a sample or less) and a one-channel copy of the source. Nothing for a file whose job
// fails at once.
std::uint64_t Footprint(const WavInfo& info, std::uint32_t rate) {
  if (info.rate < kLowestSourceRate || info.rate > kHighestSourceRate || info.frames == 0) return 0;
  const std::uint64_t samples = info.frames * rate / info.rate + 1;
  return 16 * samples + (info.channels > 1 ? 2 * info.frames : 0) + 64 * 1024;
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

const char* NameOf(SoundState state) {
  switch (state) {
    case SoundState::kNew:
      return "new";
    case SoundState::kEncoding:
      return "encoding";
    case SoundState::kReady:
      return "ready";
    case SoundState::kFailed:
      return "failed";
  }
  return "?";
}

json Sound::Summary() {
  std::lock_guard guard(lock_);
  json out = details_;
  out["id"] = id_;
  out["name"] = name_;
  out["state"] = NameOf(state_);
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
    if (state_ != SoundState::kReady) return std::nullopt;
  }
  for (const auto& e : kEncoders) {
    if (encoding == e.key) return folder_ / (std::string(e.key) + ".cod");
  }
  return std::nullopt;
}

SoundLibrary::SoundLibrary(fs::path root, JobBoard& jobs, SoundLimits limits)
    : root_(std::move(root)), jobs_(jobs), limits_(limits) {
  std::error_code ignored;
  fs::create_directories(root_ / "incoming", ignored);
}

SoundLibrary::~SoundLibrary() {
  std::lock_guard guard(lock_);
  for (const auto& folder : leftovers_) {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  }
}

fs::path SoundLibrary::SpoolPath() {
  std::lock_guard guard(lock_);
  return root_ / "incoming" / ("upload-" + std::to_string(next_spool_++) + ".part");
}

Refusal SoundLibrary::CanAdd(std::optional<std::uint64_t> bytes) {
  std::lock_guard guard(lock_);
  if (sounds_.size() >= limits_.max_sounds) return Refusal::kFull;
  if (jobs_.QueueFull()) return Refusal::kQueueFull;
  if (bytes && used_ + reserved_ + *bytes > limits_.max_disk) return Refusal::kNoSpace;
  return Refusal::kNone;
}

SoundLibrary::Added SoundLibrary::AddFile(const std::string& name, const fs::path& file) {
  std::error_code error;
  const std::uint64_t size = fs::file_size(file, error);
  if (error) return {nullptr, Refusal::kNoSpace};
  std::lock_guard guard(lock_);
  if (sounds_.size() >= limits_.max_sounds) return {nullptr, Refusal::kFull};
  if (used_ + reserved_ + size > limits_.max_disk) return {nullptr, Refusal::kNoSpace};
  const std::uint64_t id = next_++;
  const fs::path folder = root_ / ("sound-" + std::to_string(id));
  fs::create_directory(folder, error);
  if (!error) fs::rename(file, folder / kSourceFile, error);
  if (error) {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return {nullptr, Refusal::kNoSpace};
  }
  // The name is only ever shown: whatever bytes a browser, a file system or a script gives.
  const std::string shown = ShownText(name, kNameBytes);
  auto sound = std::make_shared<Sound>(id, shown.empty() ? "sound " + std::to_string(id) : shown, folder);
  sound->bytes_ = size;
  used_ += size;
  sounds_[id] = sound;
  return {sound};
}

SoundLibrary::Added SoundLibrary::Add(const std::string& name, const std::string& bytes) {
  const fs::path spool = SpoolPath();
  Added added{nullptr, Refusal::kNoSpace};
  if (WriteFile(spool, bytes)) added = AddFile(name, spool);
  std::error_code ignored;
  fs::remove(spool, ignored);
  return added;
}

bool SoundLibrary::Delete(std::uint64_t id) {
  std::shared_ptr<Sound> sound;
  std::shared_ptr<Job> job;
  bool encoding = false;
  {
    std::lock_guard guard(lock_);
    const auto it = sounds_.find(id);
    if (it == sounds_.end()) return false;
    sound = it->second;
    sounds_.erase(it);
    std::lock_guard sound_guard(sound->lock_);
    sound->deleted_ = true;
    job = sound->job_;
    encoding = sound->state_ == SoundState::kEncoding;
    // An encode still under way removes the folder when it ends (Finish).
    if (!encoding) {
      used_ -= sound->bytes_;
      sound->bytes_ = 0;
    }
  }
  if (job) job->Cancel();
  if (!encoding) RemoveFolder(sound->folder());
  return true;
}

void SoundLibrary::RemoveFolder(const fs::path& folder) {
  std::error_code error;
  fs::remove_all(folder, error);
  std::lock_guard guard(lock_);
  // A file still open (a download under way, on Windows) keeps it; tried again later.
  std::erase_if(leftovers_, [](const fs::path& left) {
    std::error_code again;
    fs::remove_all(left, again);
    return !again;
  });
  if (error) leftovers_.push_back(folder);
}

std::uint64_t SoundLibrary::used() {
  std::lock_guard guard(lock_);
  return used_;
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

Started SoundLibrary::Encode(const std::shared_ptr<Sound>& sound, const EncodeSettings& settings) {
  // Room for what the encode will write is set aside before it starts, from the source's head.
  std::string ignored;
  const auto info = InspectWav(sound->folder() / kSourceFile, ignored);
  const std::uint64_t footprint = info ? Footprint(*info, settings.rate) : 0;
  SoundState before = SoundState::kNew;
  {
    std::lock_guard guard(lock_);
    std::lock_guard sound_guard(sound->lock_);
    if (sound->deleted_ || sound->state_ == SoundState::kEncoding) return {nullptr, Refusal::kBusy};
    if (used_ + reserved_ + footprint > limits_.max_disk) return {nullptr, Refusal::kNoSpace};
    reserved_ += footprint;
    sound->reserved_ = footprint;
    before = sound->state_;
    sound->state_ = SoundState::kEncoding;
    sound->error_.clear();
  }
  Started started;
  try {
    started = jobs_.Queue(
        JobKind::kEncode, std::to_string(sound->id()),
        [this, sound, settings](Job& job) { Run(*sound, settings, job); },
        [this, sound](JobState outcome, const std::string& result) {
          Finish(*sound, outcome == JobState::kDone, result);
        });
  } catch (const std::bad_alloc&) {
    // Not even the job could be made: refused, the sound as it was.
    started = {nullptr, Refusal::kResources};
  }
  bool deleted = false;
  if (!started.job) {
    {
      std::lock_guard guard(lock_);
      std::lock_guard sound_guard(sound->lock_);
      reserved_ -= sound->reserved_;
      sound->reserved_ = 0;
      sound->state_ = before;
      deleted = sound->deleted_;
      if (deleted) {
        used_ -= sound->bytes_;
        sound->bytes_ = 0;
      }
    }
    if (deleted) RemoveFolder(sound->folder());
    return started;
  }
  {
    std::lock_guard sound_guard(sound->lock_);
    // Unless the job has ended already (and Finish has run).
    if (sound->state_ == SoundState::kEncoding && !sound->job_ && !started.job->Finished()) sound->job_ = started.job;
    deleted = sound->deleted_;
  }
  if (deleted) started.job->Cancel();
  return started;
}

void SoundLibrary::Finish(Sound& sound, bool done, const std::string& reason) {
  bool deleted = false;
  {
    std::lock_guard sound_guard(sound.lock_);
    deleted = sound.deleted_;
  }
  std::uint64_t bytes = 0;
  if (deleted) {
    RemoveFolder(sound.folder());
  } else {
    // A failed or cancelled encode leaves only the source; a finished one what the page offers.
    std::vector<fs::path> drop;
    std::error_code error;
    for (fs::directory_iterator it(sound.folder(), error), end; !error && it != end; it.increment(error)) {
      const std::string name = it->path().filename().string();
      if (name != kSourceFile && (!done || !Kept(name))) drop.push_back(it->path());
    }
    for (const auto& path : drop) fs::remove(path, error);
    bytes = FolderBytes(sound.folder());
  }
  std::lock_guard guard(lock_);
  std::lock_guard sound_guard(sound.lock_);
  reserved_ -= sound.reserved_;
  sound.reserved_ = 0;
  used_ = used_ - sound.bytes_ + bytes;
  sound.bytes_ = bytes;
  sound.job_.reset();
  if (done) {
    sound.state_ = SoundState::kReady;
  } else {
    sound.state_ = SoundState::kFailed;
    sound.error_ = reason;
  }
}

void SoundLibrary::Run(Sound& sound, const EncodeSettings& settings, Job& job) {
  // The sound's state follows from the job's outcome once it has ended (Finish).
  const auto fail = [&](Failure failure, const std::string& reason) { job.Fail(failure, reason); };
  const auto refuse = [&](const std::string& reason) { job.Fail(Failure::kInput, reason); };
  const auto cancelled = [&] { job.Fail(Failure::kCancelled, "cancelled"); };
  if (job.Cancelled()) return cancelled();
  const fs::path folder = sound.folder();
  job.Step("reading", 0);
  std::string error;
  const auto info = InspectWav(folder / kSourceFile, error);
  if (!info) return refuse(error);
  if (info->format_tag != 1) return refuse("not PCM audio (format tag " + std::to_string(info->format_tag) + ")");
  if (info->bits != 16) {
    return refuse("the encoders take 16-bit samples; this file has " + std::to_string(info->bits) + "-bit samples");
  }
  if (info->frames == 0) return refuse("the file holds no samples");
  if (info->rate < kLowestSourceRate || info->rate > kHighestSourceRate) {
    return refuse("the source's rate of " + std::to_string(info->rate) + " Hz is outside the " +
                  std::to_string(kLowestSourceRate) + " to " + std::to_string(kHighestSourceRate) + " Hz taken");
  }

  // The console's own routines: its mono routine keeps the first channel, the converter resamples.
  // The first channel is taken before resampling, not after as the console's WAVCONV does: the
  // converter reads every file as one channel, so interleaved stereo would be resampled as one
  // stream and its channels smeared into each other.
  fs::path input = folder / kSourceFile;
  if (info->channels > 1) {
    job.Step("mono", 2);
    if (sound::MakeMonoWave(input.string().c_str(), (folder / kMonoFile).string().c_str(), nullptr) != 1) {
      return fail(Failure::kNoSpace, "the one-channel copy could not be made");
    }
    input = folder / kMonoFile;
  }
  if (job.Cancelled()) return cancelled();
  if (info->rate != settings.rate) {
    job.Step("resampling", 4);
    std::lock_guard guard(converter_lock);
    if (ZOLT_WaveConverter(input.string().c_str(), (folder / kResampledFile).string().c_str(),
                           static_cast<float>(settings.rate)) != 1) {
      return fail(Failure::kNoSpace, "the converter could not resample the file");
    }
    input = folder / kResampledFile;
  }
  auto reference = ReadPcm16(input, error);
  if (!reference) return fail(Failure::kInternal, "the prepared file cannot be read: " + error);
  const auto reference_wav = riff::Pcm16WaveBytes({.rate = settings.rate, .samples = *reference});
  if (!WriteFile(folder / kReferenceFile, std::string(reference_wav.begin(), reference_wav.end()))) {
    return fail(Failure::kNoSpace, "cannot write into the work folder");
  }

  json encodings = json::object();
  std::map<std::string, std::shared_ptr<const Spectrogram>> pictures;
  pictures["source"] = std::make_shared<Spectrogram>(MakeSpectrogram(*reference));
  const auto clock = static_cast<std::uint32_t>(std::stoul(settings.clock));
  int base = 10;
  for (const auto& e : kEncoders) {
    if (job.Cancelled()) return cancelled();
    job.Step(e.label, base);
    const fs::path code = folder / (std::string(e.key) + ".cod");
    ProgressShare share{&job, base, 40};
    const auto start = std::chrono::steady_clock::now();
    const int32_t result =
        e.encode(code.string().c_str(), input.string().c_str(), settings.clock.c_str(), kReservedText, 0,
                 settings.threshold, OnEncoderProgress, reinterpret_cast<intptr_t>(&share));
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (share.cancelled || job.Cancelled()) return cancelled();
    if (result == 2) return refuse(std::string(e.label) + ": the input is not 16-bit PCM");
    if (result != 1) return fail(Failure::kInternal, std::string(e.label) + ": the encoder failed");
    const auto bytes = ReadFile(code);
    if (!bytes) return fail(Failure::kInternal, std::string(e.label) + ": the code file cannot be read");
    auto decoded = decode::DecodeCodeFile(*bytes, clock, error);
    if (!decoded) return fail(Failure::kInternal, std::string(e.label) + ": the code file does not decode: " + error);
    const auto wav = riff::Pcm16WaveBytes({.rate = settings.rate, .samples = decoded->samples});
    if (!WriteFile(folder / (std::string(e.key) + ".wav"), std::string(wav.begin(), wav.end()))) {
      return fail(Failure::kNoSpace, "cannot write into the work folder");
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
  if (job.Cancelled()) return cancelled();
  {
    std::lock_guard guard(sound.lock_);
    sound.details_ = details;
    sound.spectrograms_ = std::move(pictures);
  }
  job.Succeed("encoded", {{"sound", sound.id()}});
}

}  // namespace velkin::studio
