// info: what WAV files and code files hold, told apart by their content. Each file is reported on
// its own; one that cannot be read fails alone, and the others are still shown.
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "formats/code_file_layout.h"
#include "formats/code_regions.h"
#include "sound/wave_audio.h"
#include "tools/velkin/command_table.h"
#include "tools/velkin/files.h"

namespace velkin::cli {
namespace {

using nlohmann::json;

constexpr const char* kInfoCommand = "info";

// Seconds for JSON: three decimals, enough for a sample at 1000 Hz.
double Rounded(double seconds) {
  return std::round(seconds * 1000.0) / 1000.0;
}

double At(std::uint64_t sample, std::uint32_t rate) {
  return rate == 0 ? 0.0 : static_cast<double>(sample) / rate;
}

std::string FormatText(const sound::SourceFormat& f) {
  const bool is_float = f.type == sound::SampleType::kFloat32 || f.type == sound::SampleType::kFloat64;
  std::string text = std::to_string(f.bitsPerSample) + "-bit " + (is_float ? "float" : "PCM");
  if (f.extensible) {
    text += " (extensible";
    if (f.validBits != f.bitsPerSample) text += ", " + std::to_string(f.validBits) + " valid bits";
    text += ")";
  }
  return text;
}

void ShowWave(const Session& session, const std::string& path, const sound::WaveAudio& audio) {
  const sound::SourceFormat& f = audio.format;
  const bool is_float = f.type == sound::SampleType::kFloat32 || f.type == sound::SampleType::kFloat64;
  const std::string note = sound::TruncationNote(audio);
  if (session.json) {
    json cues = json::array();
    for (const auto& m : audio.markers) {
      cues.push_back({{"id", m.id},
                      {"position", m.position},
                      {"seconds", Rounded(At(m.position, f.rate))},
                      {"length", m.length},
                      {"length_seconds", Rounded(At(m.length, f.rate))},
                      {"label", SafeText(m.label, 200)}});
    }
    json object = {{"command", kInfoCommand},
                   {"file", path},
                   {"ok", true},
                   {"type", "wav"},
                   {"format", is_float ? "float" : "pcm"},
                   {"format_tag", f.formatTag},
                   {"extensible", f.extensible},
                   {"bits", f.bitsPerSample},
                   {"valid_bits", f.validBits},
                   {"rate", f.rate},
                   {"channels", f.channels},
                   {"frames", audio.frames},
                   {"seconds", Rounded(audio.Seconds())},
                   {"truncated", audio.Truncated()},
                   {"declared_frames", audio.declaredFrames},
                   {"cues", cues}};
    if (!note.empty()) object["note"] = note;
    session.Emit(object);
    return;
  }
  session.Say(SafeText(path) + ": WAV, " + FormatText(f) + ", " + std::to_string(f.rate) + " Hz, " +
              std::to_string(f.channels) + (f.channels == 1 ? " channel, " : " channels, ") +
              SecondsText(audio.Seconds()) + " (" + std::to_string(audio.frames) + " frames)");
  for (const auto& m : audio.markers) {
    std::string line = "  cue " + std::to_string(m.id) + " at " + SecondsText(At(m.position, f.rate)) + " (frame " +
                       std::to_string(m.position) + ")";
    if (m.length != 0) {
      line += ", region of " + SecondsText(At(m.length, f.rate)) + " (" + std::to_string(m.length) + " frames)";
    }
    if (!m.label.empty()) line += ", label \"" + SafeText(m.label, 60) + "\"";
    session.Say(line);
  }
  if (!note.empty()) session.Say("  " + note);
}

// What the header's timer values say of the clock, as text and as JSON.
void DescribeClock(const decode::DecodedFile& d, std::string& text, json& object) {
  object["clock_min"] = nullptr;
  object["clock_max"] = nullptr;
  const bool rate_known = d.rate_code < codefile::kRates.size();
  if (!rate_known && d.timer_bytes.size() != 8) {
    text = "clock not told (the rate is not one the player knows)";
    return;
  }
  const auto range = codefile::ClockRangeOf(d.timer_bytes, d.sample_rate);
  if (!range) {
    text = "the timer values fit no clock at " + std::to_string(d.sample_rate) + " Hz";
    return;
  }
  object["clock_min"] = range->low;
  if (range->high == 0) {
    text = "clock at least " + std::to_string(range->low) + " Hz";
    return;
  }
  object["clock_max"] = range->high - 1;
  text = range->high == range->low + 1
             ? "clock " + std::to_string(range->low) + " Hz"
             : "clock " + std::to_string(range->low) + " to " + std::to_string(range->high - 1) + " Hz";
}

void ShowCode(const Session& session, const std::string& path, const CodeFile& file) {
  const decode::DecodedFile& d = file.decoded;
  const decode::CodeRegions regions = decode::PairRegions(d.marks);
  const bool rate_known = d.rate_code < codefile::kRates.size();
  std::uint64_t silent = 0;
  for (const auto& s : d.silences) silent += s.length;
  const std::uint64_t samples = d.samples.size();
  const bool count_differs = samples != d.declared_samples;

  json object = {{"command", kInfoCommand},
                 {"file", path},
                 {"ok", true},
                 {"type", "code"},
                 {"encoder", d.decoder->name},
                 {"format_byte", d.decoder->format_byte},
                 {"rate", d.sample_rate},
                 {"rate_code", d.rate_code},
                 {"rate_estimated", !rate_known}};
  std::string clock;
  DescribeClock(d, clock, object);
  const auto mark_json = [&](const decode::RegionMark& m) {
    return json{{"type", m.type == codefile::kRegionStart ? "start" : "end"},
                {"cue", m.cue},
                {"label", m.label},
                {"at", m.at_sample}};
  };
  if (session.json) {
    json list = json::array();
    for (const auto& r : regions.regions) {
      list.push_back({{"cue", r.cue},
                      {"label", r.label},
                      {"begin", r.begin},
                      {"end", r.end},
                      {"seconds", Rounded(At(r.begin, d.sample_rate))},
                      {"length_seconds", Rounded(At(r.end - r.begin, d.sample_rate))}});
    }
    json unpaired = json::array();
    for (const auto& m : regions.unpaired) unpaired.push_back(mark_json(m));
    object["samples"] = samples;
    object["header_samples"] = d.declared_samples;
    object["seconds"] = Rounded(At(samples, d.sample_rate));
    object["bytes"] = file.bytes.size();
    object["blocks"] = d.blocks;
    object["regions"] = list;
    object["unpaired_markers"] = unpaired;
    object["silence_records"] = d.silence_records;
    object["silent_samples"] = silent;
    session.Emit(object);
    return;
  }
  const std::string rate = rate_known ? std::to_string(d.sample_rate) + " Hz"
                                      : "about " + std::to_string(d.sample_rate) +
                                            " Hz (rate code 15: a rate the "
                                            "player does not know, estimated "
                                            "for a " +
                                            std::to_string(kConsoleClock) + " Hz clock)";
  session.Say(SafeText(path) + ": code file, " + d.decoder->name + ", " + rate + ", " +
              SecondsText(At(samples, d.sample_rate)) + " (" + std::to_string(samples) + " samples), " +
              std::to_string(file.bytes.size()) + " bytes");
  session.Say("  " + clock);
  if (count_differs) {
    session.Say("  the header counts " + std::to_string(d.declared_samples) + " samples");
  }
  for (const auto& r : regions.regions) {
    session.Say("  region cue " + std::to_string(r.cue) + " label " + std::to_string(r.label) + ": " +
                SecondsText(At(r.begin, d.sample_rate)) + " to " + SecondsText(At(r.end, d.sample_rate)) +
                " (samples " + std::to_string(r.begin) + " to " + std::to_string(r.end) + ")");
  }
  for (const auto& m : regions.unpaired) {
    session.Say(std::string("  region ") + (m.type == codefile::kRegionStart ? "start" : "end") + " marker cue " +
                std::to_string(m.cue) + " label " + std::to_string(m.label) + " at sample " +
                std::to_string(m.at_sample) + " has no partner");
  }
  session.Say("  " + std::to_string(d.silence_records) + " silence record" + (d.silence_records == 1 ? "" : "s") +
              (d.silence_records == 0 ? ""
                                      : ", " + SecondsText(At(silent, d.sample_rate)) + " (" + std::to_string(silent) +
                                            " samples) in all"));
}

// One file; false when it could not be read.
bool ShowFile(const Session& session, const std::string& path) {
  std::string error;
  const auto head = FileHead(path, error);
  if (!head) {
    FileFailed(session, kInfoCommand, path, error);
    return false;
  }
  switch (KindOf(*head)) {
    case FileKind::kWave: {
      const auto audio = sound::ReadWaveInfo(path, error);
      if (!audio) {
        FileFailed(session, kInfoCommand, path, error);
        return false;
      }
      ShowWave(session, path, *audio);
      return true;
    }
    case FileKind::kCode: {
      const auto code = LoadCodeFile(path, kConsoleClock, error);
      if (!code) {
        FileFailed(session, kInfoCommand, path, error);
        return false;
      }
      ShowCode(session, path, *code);
      return true;
    }
    case FileKind::kOther:
      break;
  }
  FileFailed(session, kInfoCommand, path, head->empty() ? "the file is empty" : "neither a WAV file nor a code file");
  return false;
}

}  // namespace

void AddInfoCommand(CLI::App& app, Session& session) {
  auto files = std::make_shared<std::vector<std::string>>();
  CLI::App* info = app.add_subcommand(
      "info",
      "Show what WAV files and code files hold: a WAV file's format, rate, channels, length and cue points; a code "
      "file's encoder, rate, clock, length, regions and silence records. Told apart by content, not by name");
  info->add_option("FILE", *files, "The files; each is shown on its own")->required()->type_name("FILE");
  info->footer(
      "A code file's clock is told as far as its timer values tell it: they keep quotients of the clock, so a file "
      "made for 12000000 Hz at 16000 Hz reads as 11968000 to 12031999 Hz. A file that cannot be read fails alone "
      "(exit status 1 at the end); the others are still shown.");
  AddJsonOption(*info, session);
  info->callback([files, &session] {
    session.run = [files, &session] {
      bool all = true;
      for (const auto& path : *files) all = ShowFile(session, path) && all;
      return all ? kExitDone : kExitFailed;
    };
  });
}

}  // namespace velkin::cli
