#include "set_library.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <set>
#include <system_error>

#include "formats/code_file.h"
#include "listing.h"
#include "riff/wave_file.h"
#include "sets/build.h"
#include "sets/report_json.h"
#include "sound/wave_audio.h"
#include "text.h"

namespace velkin::studio {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// The longest clip name kept, in bytes of UTF-8.
constexpr std::size_t kClipNameBytes = 200;
// A set's build files, by the names they are downloaded by.
constexpr const char* kBuildFiles[] = {"image.cod", "joined.wav", "tarpel.wav", "vossik.wav"};
// The largest capacity a set names: the sound heard beside the image is built against it.
constexpr std::uint64_t kListenCapacity = 0xFFFFFFFFull;

const char* SampleTypeName(sound::SampleType type) {
  switch (type) {
    case sound::SampleType::kUnsigned8:
    case sound::SampleType::kSigned16:
    case sound::SampleType::kSigned24:
    case sound::SampleType::kSigned32:
      return "pcm";
    case sound::SampleType::kFloat32:
    case sound::SampleType::kFloat64:
      return "float";
  }
  return "?";
}

json ClipInfo(const sound::WaveAudio& audio) {
  return {{"rate", audio.format.rate},
          {"channels", audio.format.channels},
          {"bits", audio.format.validBits},
          {"type", SampleTypeName(audio.format.type)},
          {"seconds", std::round(audio.Seconds() * 1000.0) / 1000.0}};
}

json Nullable(const sound::Level& level, sound::LevelMode mode) {
  return level.mode == mode ? json(level.value) : json(nullptr);
}

json ClipJson(const SetClip& c, std::size_t index, const sets::SetFile& set) {
  const sets::ClipSettings& s = c.clip.settings;
  return {{"id", c.id},
          {"file", c.clip.file},
          {"name", c.clip.name},
          {"shown", set.ClipName(index)},
          {"label", c.clip.label ? json(*c.clip.label) : json(nullptr)},
          {"label_value", set.LabelOf(index)},
          {"channels", s.channels == sound::ChannelChoice::kMix ? "mix" : "first"},
          {"trim", s.trim.has_value()},
          {"gain", Nullable(s.level, sound::LevelMode::kGain)},
          {"loudness", Nullable(s.level, sound::LevelMode::kLoudness)},
          {"peak", Nullable(s.level, sound::LevelMode::kPeak)},
          {"pause", s.pauseSeconds},
          {"audio", !c.stored.empty()},
          {"info", c.info}};
}

// A file name that is safe in the set's folder on every system: letters, digits, '.', '-', '_'.
std::string SafeFileName(const std::string& name) {
  std::string base = fs::path(name).filename().string();
  std::string out;
  for (const char c : base) {
    const bool keep =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
    out += keep ? c : '_';
  }
  out = out.substr(0, 80);
  while (!out.empty() && out.front() == '.') out.erase(out.begin());
  if (out.empty()) out = "clip";
  std::string lower = out;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  if (lower.size() < 4 || lower.compare(lower.size() - 4, 4, ".wav") != 0) out += ".wav";
  return out;
}

bool WriteFileAtomically(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  const fs::path part = path.string() + ".part";
  {
    std::ofstream out(part, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) return false;
  }
  std::error_code error;
  fs::rename(part, path, error);
  return !error;
}

// An image decoded for listening: the WAV of the whole sound and where each region lies in it.
bool DecodeForListening(const std::vector<std::uint8_t>& image, std::uint32_t clock, const fs::path& wav, json& regions,
                        std::string& error) {
  const auto decoded = decode::DecodeCodeFile(image, clock, error);
  if (!decoded) return false;
  regions = json::array();
  for (const auto& mark : decoded->marks) {
    if (mark.type == 1) {
      regions.push_back({{"cue", mark.cue}, {"label", mark.label}, {"start", mark.at_sample}, {"end", nullptr}});
    } else if (mark.type == 2 && !regions.empty() && regions.back()["end"].is_null()) {
      regions.back()["end"] = mark.at_sample;
    }
  }
  riff::Pcm16Wave wave;
  wave.rate = decoded->sample_rate;
  wave.samples = decoded->samples;
  if (!WriteFileAtomically(wav, riff::Pcm16WaveBytes(wave))) {
    error = "cannot write " + wav.filename().string();
    return false;
  }
  return true;
}

Failure FailureOf(sets::Failure failure) {
  switch (failure) {
    case sets::Failure::kNone:
      return Failure::kNone;
    case sets::Failure::kInput:
    case sets::Failure::kDoesNotFit:
      return Failure::kInput;
    case sets::Failure::kOutput:
      return Failure::kNoSpace;
    case sets::Failure::kStopped:
      return Failure::kCancelled;
    case sets::Failure::kImage:
      break;
  }
  return Failure::kInternal;
}

// The sets' own failure names, spelt as the studio's JSON spells its words ("does_not_fit").
std::string SetFailureName(sets::Failure failure) {
  std::string name = sets::FailureName(failure);
  std::replace(name.begin(), name.end(), ' ', '_');
  return name;
}

// Reads a JSON field that may be "auto" or a whole number.
bool AutoOrNumber(const json& value, const char* auto_word, std::optional<std::uint32_t>& out, std::string& error,
                  const char* key) {
  if (value == auto_word) {
    out.reset();
    return true;
  }
  if (!value.is_number_unsigned() || value.get<std::uint64_t>() > 0xFFFFFFFFu) {
    error = std::string(key) + " must be \"" + auto_word + "\" or a whole number";
    return false;
  }
  out = value.get<std::uint32_t>();
  return true;
}

bool FiniteNumber(const json& value) {
  return value.is_number() && std::isfinite(value.get<double>());
}

// One clip's fields of an edit, onto `clip`; false with the reason for a field of the wrong kind.
bool EditClip(const json& change, sets::Clip& clip, std::string& error) {
  const std::string who = "clip " + std::to_string(change.value("id", 0)) + ": ";
  for (const auto& [key, value] : change.items()) {
    sets::ClipSettings& s = clip.settings;
    if (key == "id") continue;
    if (key == "label") {
      if (value.is_null()) {
        clip.label.reset();
      } else if (value.is_number_unsigned() && value.get<std::uint64_t>() <= 0xFFFFFFFFu) {
        clip.label = value.get<std::uint32_t>();
      } else {
        error = who + "label must be a whole number from 0 to 255, or null for its position";
        return false;
      }
    } else if (key == "name") {
      if (!value.is_string()) {
        error = who + "name must be a text";
        return false;
      }
      clip.name = ShownText(value.get<std::string>(), kClipNameBytes);
    } else if (key == "channels") {
      if (value != "first" && value != "mix") {
        error = who + "channels must be \"first\" or \"mix\"";
        return false;
      }
      s.channels = value == "mix" ? sound::ChannelChoice::kMix : sound::ChannelChoice::kFirst;
    } else if (key == "trim") {
      if (!value.is_boolean()) {
        error = who + "trim must be true or false";
        return false;
      }
      if (!value.get<bool>()) {
        s.trim.reset();
      } else if (!s.trim) {
        s.trim = sound::TrimSettings{};
      }
    } else if (key == "gain") {
      if (value.is_null()) {
        if (s.level.mode == sound::LevelMode::kGain) s.level = {};
      } else if (FiniteNumber(value) && std::abs(value.get<double>()) <= 60.0) {
        s.level = sound::Level::Gain(value.get<double>());
      } else {
        error = who + "gain must be a number of dB from -60 to 60, or null";
        return false;
      }
    } else if (key == "pause") {
      if (!FiniteNumber(value)) {
        error = who + "pause must be a number of seconds";
        return false;
      }
      s.pauseSeconds = value.get<double>();
    } else {
      error = who + "unknown field \"" + key + "\" (a clip takes label, name, channels, trim, gain and pause)";
      return false;
    }
  }
  return true;
}

}  // namespace

// --- the set ---

json StudioSet::SummaryLocked() const {
  std::uint64_t bytes = 0;
  for (const auto& c : clips_) bytes += c.bytes;
  return {{"id", id_},      {"name", name_},         {"clips", clips_.size()},
          {"bytes", bytes}, {"building", building_}, {"revision", revision_}};
}

json StudioSet::Summary() {
  std::lock_guard guard(lock_);
  return SummaryLocked();
}

json StudioSet::Full() {
  std::unique_lock guard(lock_);
  json out = SummaryLocked();
  const sets::SetFile shown = ForSaving();
  out["encoder"] = set_.encoder ? json(sets::EncoderKey(*set_.encoder)) : json("auto");
  out["rate"] = set_.rate ? json(*set_.rate) : json("auto");
  out["threshold"] = set_.threshold ? json(*set_.threshold) : json("auto");
  out["clock"] = set_.clock;
  out["capacity"] = set_.capacity.unit ? json("unit") : json(set_.capacity.bytes);
  json clips = json::array();
  for (std::size_t i = 0; i < clips_.size(); ++i) clips.push_back(ClipJson(clips_[i], i, shown));
  out["clip_list"] = clips;
  // What the set file would be warned about (two clips with one label, say), said beside it.
  sets::Diagnostics diagnostics;
  sets::SetFile checked = shown;
  checked.path.clear();
  if (!checked.clips.empty()) sets::CheckSet(checked, diagnostics);
  out["diagnostics"] = sets::ToJson(diagnostics);
  out["build"] = build_;
  // The image is the set's as it is now only while nothing has changed since it was built.
  out["built"] = image_.bytes != nullptr && built_revision_ == revision_;
  const std::shared_ptr<Job> job = job_;
  guard.unlock();
  out["job"] = job ? job->Snapshot() : json(nullptr);
  return out;
}

const SetClip* StudioSet::ClipById(std::uint64_t id) const {
  for (const auto& c : clips_) {
    if (c.id == id) return &c;
  }
  return nullptr;
}

sets::SetFile StudioSet::ForSaving() const {
  sets::SetFile out = set_;
  out.clips.clear();
  for (const auto& c : clips_) out.clips.push_back(c.clip);
  return out;
}

sets::SetFile StudioSet::ForBuild() const {
  sets::SetFile out = set_;
  out.path.clear();
  out.folder = folder_ / "clips";
  // Lines of a set file imported earlier no longer say where anything is.
  out.encoderSpot = out.rateSpot = out.thresholdSpot = out.clockSpot = out.capacity.spot = {};
  out.clips.clear();
  for (const auto& c : clips_) {
    sets::Clip clip = c.clip;
    if (clip.name.empty()) clip.name = fs::path(clip.file).stem().string();
    // Read from the clips' folder; messages then name the clip by the user's file name, made safe.
    clip.file = c.stored;
    clip.spot = clip.labelSpot = clip.fileSpot = clip.settings.levelSpot = {};
    out.clips.push_back(std::move(clip));
  }
  return out;
}

// --- the library ---

SetLibrary::SetLibrary(fs::path root, JobBoard& jobs, SetLimits limits)
    : root_(std::move(root)), jobs_(jobs), limits_(limits) {}

SetLibrary::~SetLibrary() = default;

json SetLibrary::List() {
  return JsonListOf(lock_, sets_, [](StudioSet& set) { return set.Summary(); });
}

std::shared_ptr<StudioSet> SetLibrary::Find(std::uint64_t id) {
  std::lock_guard guard(lock_);
  const auto it = sets_.find(id);
  return it == sets_.end() ? nullptr : it->second;
}

std::shared_ptr<StudioSet> SetLibrary::Create(const std::string& name) {
  std::lock_guard guard(lock_);
  if (sets_.size() >= limits_.max_sets) return nullptr;
  const std::uint64_t id = next_++;
  const fs::path folder = root_ / ("set-" + std::to_string(id));
  std::error_code error;
  fs::create_directories(folder / "clips", error);
  if (error) return nullptr;
  std::string shown = ShownText(name, kClipNameBytes);
  if (shown.empty()) shown = "set " + std::to_string(id);
  auto set = std::make_shared<StudioSet>(id, shown, folder);
  // A new set leaves the choice to fit, for the selected unit's flash.
  set->set_.encoder.reset();
  set->set_.rate.reset();
  set->set_.threshold.reset();
  sets_[id] = set;
  return set;
}

bool SetLibrary::Delete(std::uint64_t id) {
  std::shared_ptr<StudioSet> set;
  {
    std::lock_guard guard(lock_);
    const auto it = sets_.find(id);
    if (it == sets_.end()) return false;
    set = it->second;
    sets_.erase(it);
  }
  std::shared_ptr<Job> job;
  {
    std::lock_guard guard(set->lock_);
    set->deleted_ = true;
    job = set->job_;
  }
  // A build still running removes the folder as it ends.
  if (job) {
    job->Cancel();
    return true;
  }
  std::error_code error;
  fs::remove_all(set->folder(), error);
  return true;
}

SetError SetLibrary::Editable(StudioSet& set) {
  if (set.building_) return {409, "the set is being built: wait for it, or cancel it, before changing the set", {}};
  return {};
}

SetError SetLibrary::CanAddClip(StudioSet& set, const std::string& name) {
  std::lock_guard guard(set.lock_);
  if (auto busy = Editable(set)) return busy;
  const std::string base = fs::path(name).filename().string();
  const bool fills = std::any_of(set.clips_.begin(), set.clips_.end(), [&](const SetClip& c) {
    return c.stored.empty() && fs::path(c.clip.file).filename().string() == base;
  });
  if (!fills && set.clips_.size() >= sets::kMaxClips) {
    return {409,
            "the set has " + std::to_string(sets::kMaxClips) +
                " clips, as many as a code file marks: the region marker keeps five bits of the cue index",
            {}};
  }
  return {};
}

SetError SetLibrary::AddClip(StudioSet& set, const std::string& name, const fs::path& file, json& clip_json) {
  std::error_code ignored;
  const std::string shown = ShownText(fs::path(name).filename().string(), kClipNameBytes);
  std::string error;
  const auto audio = sound::ReadWaveInfo(file, error);
  if (!audio) {
    fs::remove(file, ignored);
    return {400, (shown.empty() ? "the clip" : shown) + ": " + error, {}};
  }
  if (audio->frames == 0) {
    fs::remove(file, ignored);
    return {400, shown + ": the file holds no samples", {}};
  }
  std::lock_guard guard(set.lock_);
  if (auto refused = Editable(set)) {
    fs::remove(file, ignored);
    return refused;
  }
  auto missing = std::find_if(set.clips_.begin(), set.clips_.end(), [&](const SetClip& c) {
    return c.stored.empty() && fs::path(c.clip.file).filename().string() == shown;
  });
  if (missing == set.clips_.end() && set.clips_.size() >= sets::kMaxClips) {
    fs::remove(file, ignored);
    return {409, "the set has " + std::to_string(sets::kMaxClips) + " clips, as many as a code file marks", {}};
  }
  // Its own name in the folder, told apart from the others' ("hello-2.wav").
  std::set<std::string> taken;
  for (const auto& c : set.clips_) taken.insert(c.stored);
  const std::string safe = SafeFileName(shown);
  std::string stored = safe;
  for (int n = 2; taken.count(stored); ++n) {
    stored = fs::path(safe).stem().string() + "-" + std::to_string(n) + ".wav";
  }
  const fs::path target = set.folder() / "clips" / stored;
  fs::rename(file, target, ignored);
  if (ignored) {
    fs::remove(file, ignored);
    return {507, "the clip cannot be kept in the work folder", {}};
  }
  SetClip* clip = nullptr;
  if (missing != set.clips_.end()) {
    clip = &*missing;
  } else {
    SetClip added;
    added.id = set.next_clip_++;
    added.clip.file = shown;
    set.clips_.push_back(std::move(added));
    clip = &set.clips_.back();
  }
  clip->stored = stored;
  clip->bytes = fs::file_size(target, ignored);
  clip->info = ClipInfo(*audio);
  if (!audio->format.extensible && audio->Truncated()) clip->info["note"] = sound::TruncationNote(*audio);
  ++set.revision_;
  const sets::SetFile shown_set = set.ForSaving();
  clip_json = ClipJson(*clip, static_cast<std::size_t>(clip - set.clips_.data()), shown_set);
  return {};
}

SetError SetLibrary::RemoveClip(StudioSet& set, std::uint64_t id) {
  std::lock_guard guard(set.lock_);
  if (auto refused = Editable(set)) return refused;
  const auto it = std::find_if(set.clips_.begin(), set.clips_.end(), [&](const SetClip& c) { return c.id == id; });
  if (it == set.clips_.end()) return {404, "no such clip", {}};
  std::error_code ignored;
  if (!it->stored.empty()) fs::remove(set.folder() / "clips" / it->stored, ignored);
  set.clips_.erase(it);
  ++set.revision_;
  return {};
}

std::optional<fs::path> SetLibrary::ClipFile(StudioSet& set, std::uint64_t id) {
  std::lock_guard guard(set.lock_);
  const SetClip* clip = set.ClipById(id);
  if (!clip || clip->stored.empty()) return std::nullopt;
  return set.folder() / "clips" / clip->stored;
}

SetError SetLibrary::Update(StudioSet& set, const json& change) {
  if (!change.is_object()) return {400, "expected a JSON object", {}};
  std::lock_guard guard(set.lock_);
  if (auto refused = Editable(set)) return refused;
  sets::SetFile next = set.set_;
  std::vector<SetClip> clips = set.clips_;
  std::string name = set.name_;
  std::string error;
  for (const auto& [key, value] : change.items()) {
    if (key == "name") {
      if (!value.is_string() || ShownText(value.get<std::string>(), kClipNameBytes).empty()) {
        return {400, "name must be a text that is not empty", {}};
      }
      name = ShownText(value.get<std::string>(), kClipNameBytes);
    } else if (key == "encoder") {
      if (value == "auto") {
        next.encoder.reset();
      } else if (const auto encoder =
                     value.is_string() ? sets::ParseEncoderKey(value.get<std::string>()) : std::nullopt) {
        next.encoder = encoder;
      } else {
        return {400, "encoder must be \"tarpel\", \"vossik\" or \"auto\"", {}};
      }
    } else if (key == "rate") {
      if (!AutoOrNumber(value, "auto", next.rate, error, "rate")) return {400, error, {}};
    } else if (key == "threshold") {
      if (!AutoOrNumber(value, "auto", next.threshold, error, "threshold")) return {400, error, {}};
    } else if (key == "clock") {
      if (!value.is_number_unsigned() || value.get<std::uint64_t>() > 0xFFFFFFFFu) {
        return {400, "clock must be a whole number of Hz", {}};
      }
      next.clock = value.get<std::uint32_t>();
    } else if (key == "capacity") {
      std::optional<std::uint32_t> bytes;
      if (!AutoOrNumber(value, "unit", bytes, error, "capacity")) return {400, error, {}};
      next.capacity.unit = !bytes;
      next.capacity.bytes = bytes.value_or(0);
    } else if (key == "clips") {
      // The clips in their new order, each with the fields that change: every clip of the set,
      // once, so that an order sent from a page that missed a change cannot drop a clip.
      if (!value.is_array() || value.size() != clips.size()) {
        return {400, "clips must list every clip of the set once, by its id, in the new order", {}};
      }
      std::vector<SetClip> ordered;
      std::set<std::uint64_t> seen;
      for (const auto& entry : value) {
        const auto id = entry.is_object() && entry.contains("id") && entry["id"].is_number_unsigned()
                            ? std::optional<std::uint64_t>(entry["id"].get<std::uint64_t>())
                            : std::nullopt;
        const auto it =
            id ? std::find_if(clips.begin(), clips.end(), [&](const SetClip& c) { return c.id == *id; }) : clips.end();
        if (it == clips.end() || !seen.insert(*id).second) {
          return {400, "clips must list every clip of the set once, by its id, in the new order", {}};
        }
        SetClip clip = *it;
        if (!EditClip(entry, clip.clip, error)) return {400, error, {}};
        ordered.push_back(std::move(clip));
      }
      clips = std::move(ordered);
    } else {
      return {400,
              "unknown field \"" + key + "\" (a set takes name, encoder, rate, threshold, clock, capacity and clips)",
              {}};
    }
  }
  // Checked as a set file is, with the clips' own names in the messages.
  sets::SetFile checked = next;
  checked.path.clear();
  checked.clips.clear();
  for (const auto& c : clips) checked.clips.push_back(c.clip);
  sets::Diagnostics found;
  sets::CheckSet(checked, found);
  // A set may be empty while it is made; everything else is as a set file would have it.
  sets::Diagnostics diagnostics;
  for (const auto& d : found.All()) {
    if (!checked.clips.empty() || d.text != "the set has no clips") diagnostics.Add(d);
  }
  if (diagnostics.HasErrors()) return {400, diagnostics.FirstError(), sets::ToJson(diagnostics)};
  set.set_ = std::move(next);
  set.clips_ = std::move(clips);
  set.name_ = name;
  ++set.revision_;
  return {};
}

SetError SetLibrary::Import(StudioSet& set, const std::string& text, const std::string& file_name) {
  std::string shown = ShownText(fs::path(file_name).filename().string(), kClipNameBytes);
  if (shown.empty()) shown = "set.toml";
  sets::Diagnostics diagnostics;
  const auto parsed = sets::ParseSet(text, shown, diagnostics);
  if (!parsed) return {400, diagnostics.FirstError(), sets::ToJson(diagnostics)};
  std::lock_guard guard(set.lock_);
  if (auto refused = Editable(set)) return refused;
  // A set file opened is a new set: its clips wait for the files the user picks with it (a file of
  // the same name held from before may be another version of it).
  std::vector<SetClip> clips;
  for (const auto& clip : parsed->clips) {
    SetClip entry;
    entry.id = set.next_clip_++;
    entry.clip = clip;
    clips.push_back(std::move(entry));
  }
  std::error_code ignored;
  for (const auto& old : set.clips_) {
    if (!old.stored.empty()) fs::remove(set.folder() / "clips" / old.stored, ignored);
  }
  set.set_ = *parsed;
  set.set_.clips.clear();
  set.clips_ = std::move(clips);
  set.name_ = fs::path(shown).stem().string();
  if (set.name_.empty()) set.name_ = shown;
  ++set.revision_;
  return {};
}

std::string SetLibrary::SetText(StudioSet& set) {
  std::lock_guard guard(set.lock_);
  return sets::WriteSetText(set.ForSaving());
}

std::string SetLibrary::Name(StudioSet& set) {
  std::lock_guard guard(set.lock_);
  return set.name_;
}

Started SetLibrary::Build(const std::shared_ptr<StudioSet>& set, std::optional<std::uint64_t> unit_flash,
                          const std::string& unit_name, SetError& error) {
  sets::SetFile snapshot;
  std::uint64_t revision = 0;
  {
    std::lock_guard guard(set->lock_);
    if (set->building_) {
      error = {409, "the set is being built already", {}};
      return {nullptr, Refusal::kBusy};
    }
    if (set->clips_.empty()) {
      error = {409, "the set has no clips: add some first", {}};
      return {nullptr, Refusal::kNone};
    }
    for (std::size_t i = 0; i < set->clips_.size(); ++i) {
      if (set->clips_[i].stored.empty()) {
        error = {409,
                 "clip " + std::to_string(i + 1) + " (" + set->clips_[i].clip.file + ") has no audio yet: add its file",
                 {}};
        return {nullptr, Refusal::kNone};
      }
    }
    snapshot = set->ForBuild();
    revision = set->revision_;
    // Claimed before the job is queued: its ending may run before Queue returns.
    set->building_ = true;
  }
  Started started = jobs_.Queue(
      JobKind::kBuild, std::to_string(set->id()),
      [this, set, snapshot = std::move(snapshot), revision, unit_flash, unit_name](Job& job) {
        Run(set, snapshot, revision, unit_flash, unit_name, job);
      },
      [set](JobState, const std::string&) {
        bool deleted = false;
        {
          std::lock_guard guard(set->lock_);
          set->job_.reset();
          set->building_ = false;
          deleted = set->deleted_;
        }
        std::error_code ignored;
        if (deleted) fs::remove_all(set->folder(), ignored);
      });
  std::lock_guard guard(set->lock_);
  if (!started.job) {
    set->building_ = false;
    error = {503, "the studio cannot build now: try again later", {}};
    return started;
  }
  if (set->building_) set->job_ = started.job;
  return started;
}

void SetLibrary::Run(const std::shared_ptr<StudioSet>& set, sets::SetFile snapshot, std::uint64_t revision,
                     std::optional<std::uint64_t> unit_flash, std::string unit_name, Job& job) {
  const std::uint64_t number = [&] {
    std::lock_guard guard(set->lock_);
    return ++set->build_number_;
  }();
  // Each build writes a folder of its own: a download of the last one may still be reading.
  const fs::path out = set->folder() / ("build-" + std::to_string(number));
  std::error_code ignored;
  fs::create_directories(out, ignored);

  sets::RunControl control;
  control.cancel = job.CancelFlag();
  control.progress = [&job, step = std::string()](const sets::Progress& p) mutable {
    const std::string now = std::string(p.fit ? "fit " : "") + sets::StepName(p.step);
    const int percent = static_cast<int>(p.fraction * 100.0);
    if (now != step) {
      step = now;
      job.Step(now, percent);
    } else {
      job.Progress(percent);
    }
  };
  sets::BuildRequest request;
  request.unitFlash = unit_flash;
  request.unitName = unit_name;
  request.image = out / "image.cod";
  sets::Diagnostics diagnostics;
  sets::BuildResult failed;
  auto built = sets::BuildSet(snapshot, request, control, diagnostics, &failed);

  json outcome = {{"revision", revision}, {"diagnostics", sets::ToJson(diagnostics)}};
  const sets::BuildResult& shown = built ? *built : failed;
  if (shown.fit) outcome["fit"] = sets::ToJson(*shown.fit);
  if (!shown.report.clips.empty() || built) outcome["report"] = sets::ToJson(shown.report);
  if (outcome.contains("report")) {
    outcome["report"].erase("image");
    outcome["report"].erase("joined");
  }
  const auto finish = [&](json result) {
    std::lock_guard guard(set->lock_);
    set->build_ = std::move(result);
  };
  if (!built) {
    outcome["failure"] = SetFailureName(failed.failure);
    const std::string reason =
        diagnostics.FirstError().empty() ? "the set could not be built" : diagnostics.FirstError();
    outcome["error"] = reason;
    finish(outcome);
    fs::remove_all(out, ignored);
    return job.Fail(FailureOf(failed.failure), reason, {{"set", set->id()}});
  }

  // The other encoder at the same rate and threshold, only for listening: every clip can then be
  // heard as both encoders make it, whichever the image carries.
  const sets::ImageSettings& chosen = built->report.settings;
  const sets::Encoder other =
      chosen.encoder == sets::Encoder::kTarpel ? sets::Encoder::kVossik : sets::Encoder::kTarpel;
  sets::SetFile twin = snapshot;
  twin.encoder = other;
  twin.rate = chosen.rate;
  twin.threshold = chosen.threshold;
  sets::BuildRequest twin_request;
  twin_request.capacity = kListenCapacity;
  sets::Diagnostics twin_diagnostics;
  sets::RunControl twin_control;
  twin_control.cancel = job.CancelFlag();
  job.Step("listen", 0);
  const auto twin_built = sets::BuildSet(twin, twin_request, twin_control, twin_diagnostics);
  if (job.Cancelled()) {
    fs::remove_all(out, ignored);
    return job.Fail(Failure::kCancelled, "cancelled");
  }
  json tracks = json::object();
  std::string error;
  const auto listen = [&](sets::Encoder encoder, const std::vector<std::uint8_t>& image) {
    json regions;
    const std::string key = sets::EncoderKey(encoder);
    if (!DecodeForListening(image, chosen.clock, out / (key + ".wav"), regions, error)) return false;
    tracks[key] = {{"regions", regions}, {"bytes", image.size()}};
    return true;
  };
  if (!listen(chosen.encoder, built->imageBytes) || (twin_built && !listen(other, twin_built->imageBytes))) {
    finish(outcome);
    fs::remove_all(out, ignored);
    return job.Fail(Failure::kNoSpace, error);
  }
  fs::rename(out / "image.wav", out / "joined.wav", ignored);
  outcome["tracks"] = tracks;
  outcome["failure"] = "none";

  auto image = std::make_shared<const std::vector<std::uint8_t>>(built->imageBytes);
  const json summary = {{"set", set->id()},       {"encoder", sets::EncoderKey(chosen.encoder)},
                        {"rate", chosen.rate},    {"threshold", chosen.threshold},
                        {"bytes", image->size()}, {"capacity", built->report.capacity}};
  fs::path previous;
  {
    std::lock_guard guard(set->lock_);
    previous = set->build_number_ > 1 ? set->folder() / ("build-" + std::to_string(number - 1)) : fs::path();
    set->build_ = outcome;
    set->build_["folder"] = out.filename().string();
    set->built_revision_ = revision;
    set->image_.bytes = image;
    set->image_.what = {{"set", set->id()},
                        {"name", set->name_},
                        {"encoding", sets::EncoderKey(chosen.encoder)},
                        {"samples", built->report.samples}};
  }
  // A download still reading it (on Windows) keeps it; the work folder goes at exit anyway.
  if (!previous.empty()) fs::remove_all(previous, ignored);
  job.Succeed("built", summary);
}

SetError SetLibrary::Image(StudioSet& set, BuiltImage& image) {
  std::lock_guard guard(set.lock_);
  if (!set.image_.bytes) return {409, "the set has no image yet: fit it first", {}};
  if (set.built_revision_ != set.revision_) return {409, "the set has changed since it was built: fit it again", {}};
  image = set.image_;
  return {};
}

std::optional<fs::path> SetLibrary::BuildFile(StudioSet& set, const std::string& name) {
  std::lock_guard guard(set.lock_);
  if (!set.build_.is_object() || !set.build_.contains("folder")) return std::nullopt;
  for (const char* known : kBuildFiles) {
    if (name != known) continue;
    fs::path path = set.folder() / set.build_["folder"].get<std::string>() / name;
    std::error_code error;
    if (!fs::is_regular_file(path, error)) return std::nullopt;
    return path;
  }
  return std::nullopt;
}

std::uint64_t SetLibrary::used() {
  std::vector<std::shared_ptr<StudioSet>> all;
  {
    std::lock_guard guard(lock_);
    for (const auto& [id, set] : sets_) all.push_back(set);
  }
  std::uint64_t total = 0;
  for (const auto& set : all) {
    std::lock_guard guard(set->lock_);
    for (const auto& c : set->clips_) total += c.bytes;
  }
  return total;
}

}  // namespace velkin::studio
