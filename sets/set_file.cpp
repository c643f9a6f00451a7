#include "sets/set_file.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

// The parser reports its errors as values: nothing here throws across the set reader.
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

namespace velkin::sets {
namespace {

constexpr double kMinTrimDbfs = -100.0;
constexpr double kMaxMarginSeconds = 1.0;
constexpr double kMaxGainDb = 60.0;
// A flash larger than 4 GiB has no place on a unit whose addresses are 32 bits.
constexpr std::uint64_t kMaxCapacity = 0xFFFFFFFFull;

int LineOf(const toml::node& node) {
  return static_cast<int>(node.source().begin.line);
}

std::string Join(const std::vector<std::string>& words) {
  std::string out;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i > 0) out += i + 1 == words.size() ? " or " : ", ";
    out += words[i];
  }
  return out;
}

std::string RateList() {
  std::vector<std::string> rates;
  for (const auto r : kHeaderRates) rates.push_back(std::to_string(r));
  return Join(rates);
}

std::string Number(double v) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, v).ptr;
  std::string out(text, end);
  // TOML wants a float to look like one.
  if (out.find_first_of(".eEn") == std::string::npos) out += ".0";
  return out;
}

// A quoted TOML basic string.
std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04X", u);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// Reads one TOML document's keys into a set, naming the file and line of every fault.
class Reader {
 public:
  Reader(std::string file, Diagnostics& diagnostics) : file_(std::move(file)), diagnostics_(diagnostics) {}

  void Error(int line, const std::string& text, std::optional<std::size_t> clip = {}) {
    diagnostics_.Error(file_, line, text, clip);
  }

  bool Integer(const toml::node& node, const std::string& key, std::int64_t min, std::int64_t max, std::int64_t& out) {
    const auto value = node.value_exact<std::int64_t>();
    if (!value) {
      Error(LineOf(node), key + " must be a whole number");
      return false;
    }
    if (*value < min || *value > max) {
      Error(LineOf(node),
            key + " " + std::to_string(*value) + " is outside " + std::to_string(min) + " to " + std::to_string(max));
      return false;
    }
    out = *value;
    return true;
  }

  bool Real(const toml::node& node, const std::string& key, double min, double max, double& out) {
    std::optional<double> value;
    if (const auto i = node.value_exact<std::int64_t>()) value = static_cast<double>(*i);
    if (const auto f = node.value_exact<double>()) value = *f;
    if (!value || !std::isfinite(*value)) {
      Error(LineOf(node), key + " must be a number");
      return false;
    }
    if (*value < min || *value > max) {
      Error(LineOf(node), key + " " + Number(*value) + " is outside " + Number(min) + " to " + Number(max));
      return false;
    }
    out = *value;
    return true;
  }

  std::optional<std::string> Text(const toml::node& node, const std::string& key) {
    const auto value = node.value_exact<std::string>();
    if (!value) Error(LineOf(node), key + " must be a text in quotes");
    return value;
  }

  // The keys a clip and the set's defaults share. True when `key` is one of them (also when its
  // value was wrong: the error is said).
  bool ClipSetting(const std::string& key, const toml::node& node, ClipSettings& settings, bool& level_set,
                   int& level_line, bool& trim_tuned) {
    if (key == "channels") {
      const auto text = Text(node, key);
      if (text == "first") {
        settings.channels = sound::ChannelChoice::kFirst;
      } else if (text == "mix") {
        settings.channels = sound::ChannelChoice::kMix;
      } else if (text) {
        Error(LineOf(node), "channels must be \"first\" or \"mix\", not " + Quoted(*text));
      }
      return true;
    }
    if (key == "trim") {
      if (const auto on = node.value_exact<bool>()) {
        if (*on && !settings.trim) settings.trim = sound::TrimSettings{};
        if (!*on) settings.trim.reset();
      } else {
        Error(LineOf(node), "trim must be true or false");
      }
      return true;
    }
    if (key == "trim_threshold" || key == "trim_margin") {
      double value = 0.0;
      const bool threshold = key == "trim_threshold";
      if (threshold ? Real(node, key, kMinTrimDbfs, 0.0, value) : Real(node, key, 0.0, kMaxMarginSeconds, value)) {
        tuned_.push_back({key, value});
        trim_tuned = true;
      }
      return true;
    }
    if (key == "gain" || key == "loudness" || key == "peak") {
      double value = 0.0;
      bool ok = false;
      sound::Level level;
      if (key == "gain") {
        ok = Real(node, key, -kMaxGainDb, kMaxGainDb, value);
        level = sound::Level::Gain(value);
      } else if (key == "loudness") {
        ok = Real(node, key, -70.0, 0.0, value);
        level = sound::Level::Loudness(value);
      } else {
        ok = Real(node, key, -60.0, 0.0, value);
        level = sound::Level::Peak(value);
      }
      if (level_set) {
        Error(LineOf(node), key + " and the level on line " + std::to_string(level_line) +
                                " both set the level: give one of gain, loudness and peak");
      } else if (ok) {
        settings.level = level;
        settings.levelSpot.line = LineOf(node);
      }
      level_set = true;
      level_line = LineOf(node);
      return true;
    }
    if (key == "pause") {
      double value = 0.0;
      if (Real(node, key, 0.0, kMaxPauseSeconds, value)) settings.pauseSeconds = value;
      return true;
    }
    return false;
  }

  // Applies the trim tuning read for one table once all of its keys are known (trim = true may
  // come after them).
  void ApplyTrimTuning(ClipSettings& settings, bool tuned, int line) {
    if (tuned && !settings.trim) {
      diagnostics_.Warning(file_, line, "trim_threshold and trim_margin have no effect without trim = true");
    }
    if (settings.trim) {
      for (const auto& [key, value] : tuned_) {
        if (key == "trim_threshold") settings.trim->thresholdDbfs = value;
        if (key == "trim_margin") settings.trim->marginSeconds = value;
      }
    }
    tuned_.clear();
  }

  void Clip(const toml::table& table, std::size_t index, const ClipSettings& defaults, SetFile& set) {
    sets::Clip clip;
    clip.settings = defaults;
    clip.spot.line = LineOf(table);
    bool level_set = false;
    bool trim_tuned = false;
    int level_line = 0;
    // A clip that sets its own level replaces the set's, whatever kind each is.
    clip.settings.level = {};
    clip.settings.levelSpot = {};
    bool file_seen = false;
    for (auto&& [k, node] : table) {
      const std::string key(k.str());
      const int line = static_cast<int>(k.source().begin.line);
      if (key == "file") {
        file_seen = true;
        clip.fileSpot.line = LineOf(node);
        if (auto text = Text(node, key)) {
          if (text->empty()) {
            Error(LineOf(node), "clip " + std::to_string(index + 1) + ": file is empty");
          } else {
            clip.file = *text;
          }
        }
      } else if (key == "label") {
        clip.labelSpot.line = LineOf(node);
        const auto value = node.value_exact<std::int64_t>();
        if (!value) {
          Error(LineOf(node), "clip " + std::to_string(index + 1) + ": label must be a whole number from 0 to 255",
                index);
        } else if (*value < 0 || *value > 255) {
          Error(LineOf(node),
                "clip " + std::to_string(index + 1) + ": label " + std::to_string(*value) +
                    " is outside 0 to 255: a label value is one byte of the region marker",
                index);
        } else {
          clip.label = static_cast<std::uint32_t>(*value);
        }
      } else if (key == "name") {
        if (auto text = Text(node, key)) clip.name = *text;
      } else if (!ClipSetting(key, node, clip.settings, level_set, level_line, trim_tuned)) {
        Error(line, "unknown key " + Quoted(key) + " in clip " + std::to_string(index + 1) +
                        " (a clip takes file, label, name, channels, trim, trim_threshold, trim_margin, gain, "
                        "loudness, peak and pause)");
      }
    }
    if (!level_set) {
      clip.settings.level = defaults.level;
      clip.settings.levelSpot = defaults.levelSpot;
    }
    ApplyTrimTuning(clip.settings, trim_tuned, clip.spot.line);
    if (!file_seen) Error(clip.spot.line, "clip " + std::to_string(index + 1) + " has no file");
    set.clips.push_back(std::move(clip));
  }

  std::optional<SetFile> Document(const toml::table& root, SetFile set) {
    ClipSettings defaults;
    bool level_set = false;
    bool trim_tuned = false;
    int level_line = 0;
    const toml::array* clips = nullptr;
    int clips_line = 0;
    for (auto&& [k, node] : root) {
      const std::string key(k.str());
      const int line = static_cast<int>(k.source().begin.line);
      if (key == "version") {
        std::int64_t version = 0;
        if (Integer(node, key, 1, 1000000, version) && version > kSetFormatVersion) {
          Error(LineOf(node), "the set is written in format " + std::to_string(version) +
                                  ", this program reads up to " + std::to_string(kSetFormatVersion) +
                                  ": it needs a newer velkin");
        }
      } else if (key == "encoder") {
        set.encoderSpot.line = LineOf(node);
        if (auto text = Text(node, key)) {
          if (*text == "auto") {
            set.encoder.reset();
          } else if (auto encoder = ParseEncoderKey(*text)) {
            set.encoder = encoder;
          } else {
            Error(LineOf(node), "encoder must be \"tarpel\", \"vossik\" or \"auto\", not " + Quoted(*text));
          }
        }
      } else if (key == "rate") {
        set.rateSpot.line = LineOf(node);
        if (node.value_exact<std::string>() == std::optional<std::string>("auto")) {
          set.rate.reset();
        } else if (const auto value = node.value_exact<std::int64_t>()) {
          const auto* found = std::find(std::begin(kHeaderRates), std::end(kHeaderRates), *value);
          if (found == std::end(kHeaderRates)) {
            Error(LineOf(node), "rate " + std::to_string(*value) + " Hz is not one a code file can name: use " +
                                    RateList() + " or \"auto\"");
          } else {
            set.rate = *found;
          }
        } else {
          Error(LineOf(node), "rate must be a number of Hz (" + RateList() + ") or \"auto\"");
        }
      } else if (key == "threshold") {
        set.thresholdSpot.line = LineOf(node);
        std::int64_t value = 0;
        if (node.value_exact<std::string>() == std::optional<std::string>("auto")) {
          set.threshold.reset();
        } else if (!node.value_exact<std::int64_t>()) {
          Error(LineOf(node), "threshold must be a whole number from 0 to 32767 or \"auto\"");
        } else if (Integer(node, key, 0, kMaxThreshold, value)) {
          set.threshold = static_cast<std::uint32_t>(value);
        }
      } else if (key == "clock") {
        set.clockSpot.line = LineOf(node);
        std::int64_t value = 0;
        if (Integer(node, "clock", kMinClock, kMaxClock, value)) set.clock = static_cast<std::uint32_t>(value);
      } else if (key == "capacity") {
        set.capacity.spot.line = LineOf(node);
        std::int64_t value = 0;
        if (node.value_exact<std::string>() == std::optional<std::string>("unit")) {
          set.capacity.unit = true;
        } else if (!node.value_exact<std::int64_t>()) {
          Error(LineOf(node), "capacity must be a number of bytes or \"unit\" (the selected unit's flash)");
        } else if (Integer(node, key, 1, static_cast<std::int64_t>(kMaxCapacity), value)) {
          set.capacity.unit = false;
          set.capacity.bytes = static_cast<std::uint64_t>(value);
        }
      } else if (key == "clip") {
        clips = node.as_array();
        clips_line = line;
        if (clips == nullptr || !clips->is_array_of_tables()) {
          Error(line, "clip must be written as [[clip]] tables");
          clips = nullptr;
        }
      } else if (!ClipSetting(key, node, defaults, level_set, level_line, trim_tuned)) {
        Error(line, "unknown key " + Quoted(key) +
                        " (a set takes version, encoder, rate, threshold, clock, capacity, the clip settings "
                        "channels, trim, trim_threshold, trim_margin, gain, loudness, peak and pause for every "
                        "clip, and [[clip]] tables)");
      }
    }
    ApplyTrimTuning(defaults, trim_tuned, 1);
    if (clips != nullptr) {
      std::size_t index = 0;
      for (const toml::node& node : *clips) {
        Clip(*node.as_table(), index++, defaults, set);
      }
    } else if (clips_line == 0) {
      Error(0, "the set has no clips: add a [[clip]] table with a file for each");
    }
    return set;
  }

 private:
  std::string file_;
  Diagnostics& diagnostics_;
  std::vector<std::pair<std::string, double>> tuned_;
};

}  // namespace

const char* EncoderKey(Encoder encoder) {
  return encoder == Encoder::kTarpel ? "tarpel" : "vossik";
}

const char* EncoderExportName(Encoder encoder) {
  return encoder == Encoder::kTarpel ? "TARPEL" : "VOSSIK";
}

std::optional<Encoder> ParseEncoderKey(std::string_view key) {
  if (key == "tarpel") return Encoder::kTarpel;
  if (key == "vossik") return Encoder::kVossik;
  return std::nullopt;
}

std::string SetFile::Name() const {
  return path.empty() ? std::string() : path.string();
}

std::filesystem::path SetFile::ClipPath(const Clip& clip) const {
  const std::filesystem::path file(clip.file);
  return file.is_absolute() ? file : folder / file;
}

std::uint32_t SetFile::LabelOf(std::size_t index) const {
  return clips[index].label.value_or(static_cast<std::uint32_t>(index + 1));
}

std::string SetFile::ClipTitle(std::size_t index) const {
  return "clip " + std::to_string(index + 1) + " (" + clips[index].file + ")";
}

std::string SetFile::ClipName(std::size_t index) const {
  const Clip& clip = clips[index];
  if (!clip.name.empty()) return clip.name;
  return std::filesystem::path(clip.file).stem().string();
}

bool CheckSet(const SetFile& set, Diagnostics& diagnostics) {
  const std::string file = set.Name();
  const std::size_t errors = diagnostics.ErrorCount();
  if (set.clips.empty()) diagnostics.Error(file, 0, "the set has no clips");
  if (set.clips.size() > kMaxClips) {
    diagnostics.Error(file, set.clips[kMaxClips].spot.line,
                      "the set has " + std::to_string(set.clips.size()) + " clips, and a code file marks at most " +
                          std::to_string(kMaxClips) +
                          " regions: the region marker keeps five bits of the cue "
                          "index, so clip 33 would carry cue index 0 again and play as clip 1",
                      kMaxClips);
  }
  if (set.rate && std::find(std::begin(kHeaderRates), std::end(kHeaderRates), *set.rate) == std::end(kHeaderRates)) {
    diagnostics.Error(file, set.rateSpot.line,
                      "rate " + std::to_string(*set.rate) + " Hz is not one a code file can name: use " + RateList());
  }
  if (set.threshold && *set.threshold > kMaxThreshold) {
    diagnostics.Error(file, set.thresholdSpot.line, "threshold " + std::to_string(*set.threshold) + " is over 32767");
  }
  if (set.clock < kMinClock || set.clock > kMaxClock) {
    diagnostics.Error(file, set.clockSpot.line,
                      "clock " + std::to_string(set.clock) + " is outside 1000000 to 100000000 Hz");
  }
  if (!set.capacity.unit && (set.capacity.bytes == 0 || set.capacity.bytes > kMaxCapacity)) {
    diagnostics.Error(file, set.capacity.spot.line, "capacity must be from 1 to 4294967295 bytes");
  }
  std::map<std::uint32_t, std::size_t> first_with_label;
  for (std::size_t i = 0; i < set.clips.size(); ++i) {
    const Clip& clip = set.clips[i];
    if (clip.file.empty()) diagnostics.Error(file, clip.spot.line, set.ClipTitle(i) + " has no file", i);
    if (clip.label && *clip.label > 255) {
      diagnostics.Error(file, clip.labelSpot.line ? clip.labelSpot.line : clip.spot.line,
                        set.ClipTitle(i) + ": label " + std::to_string(*clip.label) +
                            " is over 255: a label value is one byte of the region marker",
                        i);
      continue;
    }
    if (clip.settings.level.mode == sound::LevelMode::kLoudness && !sound::HaveLoudnessMeter()) {
      diagnostics.Error(file, clip.settings.levelSpot.line ? clip.settings.levelSpot.line : clip.spot.line,
                        set.ClipTitle(i) +
                            ": loudness needs the EBU R128 meter (libebur128), which this build "
                            "lacks (the Windows builds do); give a gain or a peak target instead, or "
                            "build the set on Linux",
                        i);
    }
    if (clip.settings.pauseSeconds < 0 || clip.settings.pauseSeconds > kMaxPauseSeconds ||
        !std::isfinite(clip.settings.pauseSeconds)) {
      diagnostics.Error(file, clip.spot.line, set.ClipTitle(i) + ": pause must be from 0 to 60 seconds", i);
    }
    const std::uint32_t label = set.LabelOf(i);
    const auto [it, added] = first_with_label.emplace(label, i);
    if (!added) {
      const std::size_t first = it->second;
      diagnostics.Warning(file, clip.labelSpot.line ? clip.labelSpot.line : clip.spot.line,
                          set.ClipTitle(i) + " carries label " + std::to_string(label) + " as " + set.ClipTitle(first) +
                              " does: a player that starts regions by label value "
                              "cannot tell them apart (cue indexes " +
                              std::to_string(first) + " and " + std::to_string(i) + " still differ)",
                          i);
    }
  }
  return diagnostics.ErrorCount() == errors;
}

std::optional<SetFile> ParseSet(std::string_view text, const std::filesystem::path& path, Diagnostics& diagnostics) {
  SetFile set;
  set.path = path;
  set.folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  const std::string name = set.Name();
  const std::size_t errors = diagnostics.ErrorCount();
  toml::parse_result parsed = toml::parse(text, name);
  if (!parsed) {
    const toml::parse_error& error = parsed.error();
    diagnostics.Error(name, static_cast<int>(error.source().begin.line),
                      "not a valid set file: " + std::string(error.description()));
    return std::nullopt;
  }
  Reader reader(name, diagnostics);
  auto read = reader.Document(parsed.table(), std::move(set));
  if (!read || diagnostics.ErrorCount() != errors) return std::nullopt;
  if (!CheckSet(*read, diagnostics)) return std::nullopt;
  return read;
}

std::optional<SetFile> ReadSetFile(const std::filesystem::path& path, Diagnostics& diagnostics) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    diagnostics.Error(path.string(), 0, "cannot be read: no such file, or no access");
    return std::nullopt;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    diagnostics.Error(path.string(), 0, "cannot be read");
    return std::nullopt;
  }
  return ParseSet(text, path, diagnostics);
}

std::string WriteSetText(const SetFile& set) {
  std::ostringstream out;
  out << "version = " << kSetFormatVersion << "\n";
  out << "encoder = " << Quoted(set.encoder ? EncoderKey(*set.encoder) : "auto") << "\n";
  out << "rate = " << (set.rate ? std::to_string(*set.rate) : Quoted("auto")) << "\n";
  out << "threshold = " << (set.threshold ? std::to_string(*set.threshold) : Quoted("auto")) << "\n";
  out << "clock = " << set.clock << "\n";
  out << "capacity = " << (set.capacity.unit ? Quoted("unit") : std::to_string(set.capacity.bytes)) << "\n";
  for (std::size_t i = 0; i < set.clips.size(); ++i) {
    const Clip& clip = set.clips[i];
    const ClipSettings& s = clip.settings;
    out << "\n[[clip]]\n";
    out << "file = " << Quoted(clip.file) << "\n";
    out << "label = " << set.LabelOf(i) << "\n";
    if (!clip.name.empty()) out << "name = " << Quoted(clip.name) << "\n";
    out << "channels = " << Quoted(s.channels == sound::ChannelChoice::kMix ? "mix" : "first") << "\n";
    out << "trim = " << (s.trim ? "true" : "false") << "\n";
    if (s.trim) {
      out << "trim_threshold = " << Number(s.trim->thresholdDbfs) << "\n";
      out << "trim_margin = " << Number(s.trim->marginSeconds) << "\n";
    }
    switch (s.level.mode) {
      case sound::LevelMode::kGain:
        out << "gain = " << Number(s.level.value) << "\n";
        break;
      case sound::LevelMode::kLoudness:
        out << "loudness = " << Number(s.level.value) << "\n";
        break;
      case sound::LevelMode::kPeak:
        out << "peak = " << Number(s.level.value) << "\n";
        break;
      case sound::LevelMode::kNone:
        break;
    }
    out << "pause = " << Number(s.pauseSeconds) << "\n";
  }
  return out.str();
}

}  // namespace velkin::sets
