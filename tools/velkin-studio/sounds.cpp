#include "sounds.h"

#include <velkin/tarpel.h>
#include <velkin/vossik.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>
#include <new>
#include <system_error>
#include <thread>

#include "formats/code_file.h"
#include "listing.h"
#include "riff/wave_file.h"
#include "sound/encoder_progress.h"
#include "sound/prepare.h"
#include "sound/quality.h"
#include "sound/wave_audio.h"
#include "text.h"

namespace velkin::studio {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kSourceFile = "source.wav";
constexpr const char* kReferenceFile = "reference.wav";
constexpr const char* kReservedText = "8";
// A code file's header counts its samples in 24 bits.
constexpr std::uint64_t kMaxCodeSamples = 0xFFFFFF;
// The encoders keep this many cue points of their input and pass over the rest.
constexpr std::size_t kEncoderMarkers = 256;

using Encoder = int32_t(VELKIN_CALL*)(const char*, const char*, const char*, const char*, int32_t, uint32_t,
                                      EncoderProgressCallback, intptr_t);

struct EncoderEntry {
  const char* key;        // "tarpel", "vossik": file names and JSON keys
  const char* label;      // as the console names it
  const char* extension;  // of a code file the console writes
  Encoder encode;
};

constexpr std::array<EncoderEntry, 2> kEncoders = {
    {{"tarpel", "TARPEL", ".tpl", TARPEL}, {"vossik", "VOSSIK", ".vsk", VOSSIK}}};

json Finite(double value) {
  return std::isfinite(value) ? json(std::round(value * 100.0) / 100.0) : json(nullptr);
}

std::string Seconds(double seconds, int digits = 2) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f s", digits, seconds);
  return text;
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

// The files an encode leaves for the page; what else it writes (the encoders' raw previews) goes
// once it has ended.
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

// The most an encode of a file of `frames` frames of `channels` channels at `rate` Hz writes at
// `target` Hz: every copy of the samples at the target rate (the prepared reference, two code
// files, their previews and their decoded versions, at two bytes a sample or less). Nothing for a
// file whose job fails at once.
std::uint64_t Footprint(const sound::WaveAudio& info, std::uint32_t target) {
  const std::uint32_t rate = info.format.rate;
  if (rate < sound::kMinRate || rate > sound::kMaxRate || info.frames == 0) return 0;
  const std::uint64_t samples = info.frames * target / rate + 1;
  return 16 * samples + 64 * 1024;
}

json SettingsJson(const EncodeSettings& s) {
  return {{"rate", s.rate}, {"clock", s.clock}, {"threshold", s.threshold}};
}

json MarkerJson(const riff::Marker& m, std::uint32_t rate) {
  return {{"id", m.id},
          {"position", m.position},
          {"length", m.length},
          {"label", ShownText(m.label, kNameBytes)},
          {"seconds", Finite(static_cast<double>(m.position) / rate)}};
}

std::string MarkerName(const riff::Marker& m) {
  std::string name = "marker " + std::to_string(m.id);
  const std::string label = ShownText(m.label, 40);
  if (!label.empty()) name += " \"" + label + "\"";
  return name;
}

// The job's bar over the work that runs side by side once the sound is prepared: each part's share
// done, weighted, after a fixed start. Called from either thread.
class Bar {
 public:
  enum Part { kTarpelEncode, kVossikEncode, kSourcePicture, kTarpelFigures, kVossikFigures, kParts };

  Bar(Job& job, int start) : job_(job), start_(start) {}

  void Set(Part part, double done) {
    std::lock_guard guard(lock_);
    done_[part] = std::clamp(done, done_[part], 1.0);
    double sum = start_;
    for (int p = 0; p < kParts; ++p) sum += kWeights[p] * done_[p];
    job_.Progress(static_cast<int>(sum));
  }
  // The encoders have both returned: what is left is the figures.
  void EncoderDone() {
    std::lock_guard guard(lock_);
    if (++encoders_done_ == 2) job_.Step("figures", Current());
  }

 private:
  int Current() const {
    double sum = start_;
    for (int p = 0; p < kParts; ++p) sum += kWeights[p] * done_[p];
    return static_cast<int>(sum);
  }
  // As the work takes its time: VOSSIK's search above all. They add up to 100 - start (90).
  static constexpr std::array<double, kParts> kWeights = {10, 50, 6, 8, 16};

  Job& job_;
  const int start_;
  std::mutex lock_;
  std::array<double, kParts> done_{};
  int encoders_done_ = 0;
};

// Progress of one encoder call on the bar. An encoder call cannot be interrupted: a job cancelled
// meanwhile is noted here, and what the call writes is discarded.
struct EncoderShare {
  Job* job;
  Bar* bar;
  Bar::Part part;
  sound::EncoderProgress overall;
  bool cancelled = false;
};

int32_t VELKIN_CALL OnEncoderProgress(int32_t /*source*/, int32_t percent, intptr_t user) {
  auto* share = reinterpret_cast<EncoderShare*>(user);
  if (share->cancelled || share->job->Cancelled()) {
    share->cancelled = true;
    return 0;
  }
  share->bar->Set(share->part, share->overall.Overall(percent) / 100.0);
  return 0;
}

// What one encoder made of the prepared sound: its figures and picture, or why it could not.
struct Encoded {
  Failure failure = Failure::kNone;
  std::string reason;
  json figures;
  std::shared_ptr<const Spectrogram> picture;
};

struct EncodeInput {
  fs::path file;  // what the encoder reads: the source itself, or the prepared sound
  const std::vector<riff::Marker>* markers;
  const std::vector<std::int16_t>* reference;  // the prepared samples, to compare against
  std::uint32_t rate;
  std::uint32_t clock;
  const EncodeSettings* settings;
};

Encoded EncodeWith(const EncoderEntry& e, const EncodeInput& in, const fs::path& folder, Job& job, Bar& bar,
                   Bar::Part encode_part, Bar::Part figures_part) {
  Encoded out;
  const auto fail = [&](Failure failure, const std::string& reason) {
    out.failure = failure;
    out.reason = std::string(e.label) + ": " + reason;
    return out;
  };
  const fs::path code = folder / (std::string(e.key) + ".cod");
  EncoderShare share{&job, &bar, encode_part, sound::EncoderProgress(*in.markers, in.reference->size())};
  const auto start = std::chrono::steady_clock::now();
  const int32_t result =
      e.encode(code.string().c_str(), in.file.string().c_str(), in.settings->clock.c_str(), kReservedText, 0,
               in.settings->threshold, OnEncoderProgress, reinterpret_cast<intptr_t>(&share));
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  bar.Set(encode_part, 1.0);
  bar.EncoderDone();
  if (share.cancelled || job.Cancelled()) return fail(Failure::kCancelled, "cancelled");
  if (result == 2) return fail(Failure::kInput, "the input is not 16-bit PCM");
  if (result != 1) return fail(Failure::kInternal, "the encoder failed");

  const auto bytes = ReadFile(code);
  if (!bytes) return fail(Failure::kInternal, "the code file cannot be read");
  std::string error;
  auto decoded = decode::DecodeCodeFile(*bytes, in.clock, error);
  if (!decoded) return fail(Failure::kInternal, "the code file does not decode: " + error);
  bar.Set(figures_part, 0.2);
  if (!riff::SavePcm16Wave((folder / (std::string(e.key) + ".wav")).string(),
                           {.rate = in.rate, .samples = decoded->samples})) {
    return fail(Failure::kNoSpace, "cannot write into the work folder");
  }
  bar.Set(figures_part, 0.3);
  json marks = json::array();
  for (const auto& m : decoded->marks) {
    marks.push_back({{"type", m.type == 1 ? "start" : "end"}, {"cue", m.cue}, {"label", m.label}, {"at", m.at_sample}});
  }
  json silences = json::array();
  for (const auto& s : decoded->silences) silences.push_back({s.at_sample, s.length});
  const std::vector<std::int16_t>& reference = *in.reference;
  out.figures = {{"bytes", bytes->size()},
                 {"bits_per_sample", Finite(reference.empty() ? 0.0
                                                              : 8.0 * static_cast<double>(bytes->size()) /
                                                                    static_cast<double>(reference.size()))},
                 {"snr", Finite(sound::SnrDb(reference, decoded->samples))},
                 {"segmental_snr", Finite(SegmentalSnr(reference, decoded->samples))},
                 {"encode_ms", Finite(ms)},
                 {"samples", decoded->samples.size()},
                 {"blocks", decoded->blocks},
                 {"silence_records", decoded->silence_records},
                 {"marks", marks},
                 {"silences", silences}};
  bar.Set(figures_part, 0.4);
  out.picture = std::make_shared<Spectrogram>(
      MakeSpectrogram(decoded->samples, [&](double done) { bar.Set(figures_part, 0.4 + 0.6 * done); }));
  bar.Set(figures_part, 1.0);
  return out;
}

// Runs `body` on a thread of its own and waits for it when the object goes; where no thread can be
// had, on the caller's thread when Join is asked for.
class Beside {
 public:
  explicit Beside(std::function<void()> body) : body_(std::move(body)) {
    try {
      thread_ = std::thread(body_);
    } catch (const std::system_error&) {
      // No thread: the work runs in turn instead.
    }
  }
  ~Beside() { Join(); }
  void Join() {
    if (thread_.joinable()) {
      thread_.join();
    } else if (body_) {
      body_();
    }
    body_ = nullptr;
  }

 private:
  std::function<void()> body_;
  std::thread thread_;
};

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

std::string Sound::name() {
  std::lock_guard guard(lock_);
  return name_;
}

json Sound::Summary() {
  std::shared_ptr<Job> job;
  json out;
  {
    std::lock_guard guard(lock_);
    out = details_;
    out["id"] = id_;
    out["name"] = name_;
    out["state"] = NameOf(state_);
    // What it is (being) encoded with: the page's settings follow the sound shown.
    out["settings"] = SettingsJson(settings_);
    if (!error_.empty()) out["error"] = error_;
    job = job_;
  }
  // Where its encode is, for a page that comes in half way.
  if (job) {
    const json snapshot = job->Snapshot();
    out["job"] = {{"id", snapshot["id"]}, {"step", snapshot["step"]}, {"progress", snapshot["progress"]}};
  }
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
  auto sound =
      std::make_shared<Sound>(id, UniqueName(shown.empty() ? "sound " + std::to_string(id) : shown, nullptr), folder);
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
  return JsonListOf(lock_, sounds_, [](Sound& sound) { return sound.Summary(); });
}

std::string SoundLibrary::UniqueName(const std::string& wanted, const Sound* except) {
  const auto taken = [&](const std::string& name) {
    for (const auto& [id, sound] : sounds_) {
      if (sound.get() == except) continue;
      std::lock_guard guard(sound->lock_);
      if (sound->name_ == name) return true;
    }
    return false;
  };
  if (!taken(wanted)) return wanted;
  for (std::size_t n = 2;; ++n) {
    // The number stays whole even where the name is at its longest.
    const std::string suffix = " (" + std::to_string(n) + ")";
    const std::string name = ShownText(wanted, kNameBytes - suffix.size()) + suffix;
    if (!taken(name)) return name;
  }
}

bool SoundLibrary::Rename(const std::shared_ptr<Sound>& sound, const std::string& name) {
  const std::string shown = ShownText(name, kNameBytes);
  if (shown.find_first_not_of(' ') == std::string::npos) return false;
  std::lock_guard guard(lock_);
  const std::string unique = UniqueName(shown, sound.get());
  std::lock_guard sound_guard(sound->lock_);
  sound->name_ = unique;
  return true;
}

std::string SoundLibrary::DownloadName(const std::string& sound_name, const std::string& file) {
  // "prompt.wav (2)": the stem "prompt", the number kept after it.
  std::string stem = sound_name;
  std::string number;
  if (const auto open = stem.rfind(" ("); open != std::string::npos && stem.back() == ')' &&
                                          stem.find_first_not_of("0123456789", open + 2) == stem.size() - 1 &&
                                          stem.size() > open + 3) {
    number = stem.substr(open);
    stem.erase(open);
  }
  for (const char* extension : {".wav", ".wave"}) {
    const std::size_t n = std::char_traits<char>::length(extension);
    if (stem.size() > n &&
        std::equal(stem.end() - static_cast<std::ptrdiff_t>(n), stem.end(), extension,
                   [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; })) {
      stem.erase(stem.size() - n);
      break;
    }
  }
  stem += number;
  if (stem.empty()) stem = "sound";
  if (file == kSourceFile) return stem + ".wav";
  if (file == kReferenceFile) return stem + "-prepared.wav";
  for (const auto& e : kEncoders) {
    if (file == std::string(e.key) + ".cod") return stem + e.extension;
    if (file == std::string(e.key) + ".wav") return stem + "-" + e.key + ".wav";
  }
  return stem + "-" + file;
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
  const auto info = sound::ReadWaveInfo(sound->folder() / kSourceFile, ignored);
  const std::uint64_t footprint = info ? Footprint(*info, settings.rate) : 0;
  SoundState before = SoundState::kNew;
  EncodeSettings settings_before;
  {
    std::lock_guard guard(lock_);
    std::lock_guard sound_guard(sound->lock_);
    if (sound->deleted_ || sound->state_ == SoundState::kEncoding) return {nullptr, Refusal::kBusy};
    if (used_ + reserved_ + footprint > limits_.max_disk) return {nullptr, Refusal::kNoSpace};
    reserved_ += footprint;
    sound->reserved_ = footprint;
    before = sound->state_;
    settings_before = sound->settings_;
    sound->state_ = SoundState::kEncoding;
    sound->settings_ = settings;
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
      sound->settings_ = settings_before;
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
  auto audio = sound::ReadWaveAudio(folder / kSourceFile, error);
  if (!audio) return refuse(error);
  json notes = json::array();
  if (audio->Truncated()) notes.push_back(sound::TruncationNote(*audio));
  const sound::SourceFormat format = audio->format;
  json source = {{"channels", format.channels},     {"rate", format.rate},
                 {"bits", format.bitsPerSample},    {"format", sound::FormatText(format)},
                 {"frames", audio->frames},         {"seconds", Finite(audio->Seconds())},
                 {"truncated", audio->Truncated()}, {"declared_seconds", Finite(audio->DeclaredSeconds())}};
  if (job.Cancelled()) return cancelled();

  // In memory, as sound/ prepares for every program: the first channel, as the console's mono
  // routine keeps it, then the console's converter to the target rate, the markers carried along.
  job.Step("preparing", 3);
  auto prepared = sound::PrepareSound(*audio, {.rate = settings.rate, .channels = sound::ChannelChoice::kFirst}, error);
  if (!prepared) return refuse(error);
  if (prepared->samples.size() > kMaxCodeSamples) {
    return refuse(std::to_string(prepared->samples.size()) + " samples at " + std::to_string(settings.rate) +
                  " Hz, and a code file counts at most " + std::to_string(kMaxCodeSamples));
  }
  // A source that is already what the preparation makes is encoded as it is, byte for byte the
  // file the console would hand the encoders; otherwise the prepared sound with its markers.
  const bool as_is = prepared->sourceSamples && !audio->Truncated();
  const std::vector<riff::Marker> source_markers = audio->markers;
  audio.reset();
  json markers = json::array();
  for (const auto& m : prepared->markers) markers.push_back(MarkerJson(m, settings.rate));
  json lost = json::array();
  for (const auto& m : prepared->lostMarkers) {
    json entry = MarkerJson(m, format.rate);
    entry["reason"] = "at " + std::to_string(settings.rate) + " Hz it falls at or after the end of the sound";
    notes.push_back(MarkerName(m) + " at " + Seconds(static_cast<double>(m.position) / format.rate, 3) +
                    " could not be kept: " + entry["reason"].get<std::string>());
    lost.push_back(std::move(entry));
  }
  if (prepared->markers.size() > kEncoderMarkers) {
    for (std::size_t i = kEncoderMarkers; i < prepared->markers.size(); ++i) {
      json entry = MarkerJson(prepared->markers[i], settings.rate);
      entry["reason"] = "the encoders keep the first " + std::to_string(kEncoderMarkers) + " markers";
      lost.push_back(std::move(entry));
    }
    notes.push_back(std::to_string(prepared->markers.size() - kEncoderMarkers) + " markers after the " +
                    std::to_string(kEncoderMarkers) + "th could not be kept: the encoders keep the first " +
                    std::to_string(kEncoderMarkers));
  }
  if (prepared->clipped > 0) {
    notes.push_back(std::to_string(prepared->clipped) + " samples beyond full scale were clipped to 16 bits");
  }
  if (!sound::WritePreparedSound((folder / kReferenceFile).string(), *prepared)) {
    return fail(Failure::kNoSpace, "cannot write into the work folder");
  }
  const fs::path input = as_is ? folder / kSourceFile : folder / kReferenceFile;
  // The encoders end an input path at a "," from its third character on.
  if (const auto comma = input.string().find(','); comma != std::string::npos && comma >= 2) {
    return fail(Failure::kInternal, "the work folder's path has a \",\", which ends a path for the encoders: set " +
                                        std::string("TMPDIR (TEMP on Windows) to another folder"));
  }
  if (job.Cancelled()) return cancelled();

  // Both encoders at once, each followed by its figures; the source's picture beside TARPEL, the
  // quicker of the two. The bar weighs each part by the time it takes.
  job.Step("encoding", 10);
  Bar bar(job, 10);
  const EncodeInput in{input,         as_is ? &source_markers : &prepared->markers,           &prepared->samples,
                       settings.rate, static_cast<std::uint32_t>(std::stoul(settings.clock)), &settings};
  std::array<Encoded, 2> results;
  std::shared_ptr<const Spectrogram> source_picture;
  const auto guarded = [](Encoded& into, const std::function<void()>& body) {
    try {
      body();
    } catch (const std::bad_alloc&) {
      into = {Failure::kResources, "out of memory", {}, nullptr};
    } catch (const std::exception& e) {
      into = {Failure::kInternal, std::string("internal error: ") + e.what(), {}, nullptr};
    }
  };
  {
    Beside tarpel([&] {
      guarded(results[0], [&] {
        results[0] = EncodeWith(kEncoders[0], in, folder, job, bar, Bar::kTarpelEncode, Bar::kTarpelFigures);
        if (results[0].failure != Failure::kNone) return;
        source_picture = std::make_shared<Spectrogram>(
            MakeSpectrogram(prepared->samples, [&](double done) { bar.Set(Bar::kSourcePicture, done); }));
        bar.Set(Bar::kSourcePicture, 1.0);
      });
    });
    guarded(results[1], [&] {
      results[1] = EncodeWith(kEncoders[1], in, folder, job, bar, Bar::kVossikEncode, Bar::kVossikFigures);
    });
    tarpel.Join();
  }
  for (const Encoded& r : results) {
    if (r.failure != Failure::kNone) return fail(r.failure, r.reason);
  }
  if (job.Cancelled()) return cancelled();

  json encodings = json::object();
  std::map<std::string, std::shared_ptr<const Spectrogram>> pictures = {{"source", source_picture}};
  for (std::size_t i = 0; i < kEncoders.size(); ++i) {
    encodings[kEncoders[i].key] = std::move(results[i].figures);
    pictures[kEncoders[i].key] = results[i].picture;
  }
  json details = {{"source", source},
                  {"rate", settings.rate},
                  {"samples", prepared->samples.size()},
                  {"markers", markers},
                  {"lost_markers", lost},
                  {"notes", notes},
                  {"encoded_with", SettingsJson(settings)},
                  {"encodings", encodings}};
  {
    std::lock_guard guard(sound.lock_);
    sound.details_ = std::move(details);
    sound.spectrograms_ = std::move(pictures);
  }
  job.Succeed("encoded", {{"sound", sound.id()}});
}

}  // namespace velkin::studio
