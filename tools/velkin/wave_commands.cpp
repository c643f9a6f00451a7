// convert and decode: a WAV file at another rate through the console's converter, and a code file
// back into WAV files, whole or one per region.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "formats/code_regions.h"
#include "riff/wave_file.h"
#include "sound/convert.h"
#include "sound/wave_audio.h"
#include "tools/velkin/command_table.h"
#include "tools/velkin/files.h"
#include "tools/velkin/image_file.h"
#include "tools/velkin/os/platform.h"

namespace velkin::cli {
namespace {

using nlohmann::json;

double Rounded(double seconds) {
  return std::round(seconds * 1000.0) / 1000.0;
}

std::string RateError(const std::string& text) {
  return "the rate " + text + " Hz is outside " + std::to_string(sound::kMinRate) + " to " +
         std::to_string(sound::kMaxRate) + " Hz";
}

CLI::Validator RateCheck() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        const auto value = ParseNumber(text);
        return value && *value >= sound::kMinRate && *value <= sound::kMaxRate ? "" : RateError(text);
      },
      "");
}

std::string SourceText(const sound::SourceFormat& f) {
  const bool is_float = f.type == sound::SampleType::kFloat32 || f.type == sound::SampleType::kFloat64;
  return std::to_string(f.rate) + " Hz " + std::to_string(f.bitsPerSample) + "-bit " + (is_float ? "float" : "PCM");
}

// ---- convert -------------------------------------------------------------------------------------

struct ConvertArgs {
  std::string input;
  std::string output;
  std::string rate;
};

int Convert(const Session& session, const ConvertArgs& args) {
  const std::uint32_t rate = *ParseNumber(args.rate);
  std::string error;
  auto out = OutputFile::Prepare(args.output, error);
  if (!out) {
    session.Error(SafeText(args.output) + ": cannot be written: " + error);
    return kExitUsage;
  }
  // Ctrl-C is heeded between the steps, so that no half-made file is left beside OUT.
  os::CatchInterrupts();
  const auto audio = sound::ReadWaveAudio(args.input, error);
  if (!audio) {
    session.Error(SafeText(args.input) + ": " + error);
    return kExitUsage;
  }
  const auto converted = sound::ConvertRate(*audio, rate, error);
  if (!converted) {
    session.Error(SafeText(args.input) + ": " + error);
    return kExitUsage;
  }
  if (os::Interrupted()) {
    session.Error("interrupted: nothing was written");
    return kExitInterrupted;
  }
  if (!riff::SavePcm16Wave(out->part(), {.rate = rate,
                                         .channels = converted->channels,
                                         .samples = converted->samples,
                                         .markers = converted->markers}) ||
      !out->Commit(error)) {
    FileFailed(session, "convert", args.input,
               SafeText(args.output) + " cannot be written" + (error.empty() ? std::string() : ": " + error));
    return kExitFailed;
  }
  const double seconds = static_cast<double>(converted->frames) / rate;
  if (session.json) {
    json lost = json::array();
    for (const auto& m : converted->lostMarkers) lost.push_back(m.id);
    session.Emit({{"command", "convert"},
                  {"file", args.input},
                  {"output", args.output},
                  {"ok", true},
                  {"rate", rate},
                  {"channels", converted->channels},
                  {"bits", 16},
                  {"frames", converted->frames},
                  {"seconds", Rounded(seconds)},
                  {"cues", converted->markers.size()},
                  {"lost_cues", lost},
                  {"clipped", converted->clipped},
                  {"source", {{"rate", audio->format.rate}, {"bits", audio->format.bitsPerSample}}}});
    return kExitDone;
  }
  session.Say(SafeText(args.output) + ": " + std::to_string(rate) + " Hz, " + std::to_string(converted->channels) +
              (converted->channels == 1 ? " channel" : " channels") + ", 16-bit PCM, " + SecondsText(seconds) + " (" +
              std::to_string(converted->frames) + " frames), from " + SourceText(audio->format));
  for (const auto& m : converted->lostMarkers) {
    session.Say("  cue " + std::to_string(m.id) + " lies past the end at " + std::to_string(rate) +
                " Hz and is left out");
  }
  if (converted->clipped > 0) {
    session.Say("  " + std::to_string(converted->clipped) + " samples clipped on the way to 16 bits");
  }
  return kExitDone;
}

// ---- decode --------------------------------------------------------------------------------------

struct DecodeArgs {
  std::string input;
  std::string output;
  bool split = false;
  std::string clock = std::to_string(kConsoleClock);
};

// One WAV file to write and what it holds.
struct Piece {
  std::string path;
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
  const decode::CodeRegion* region = nullptr;  // null: the whole file
};

// "prompt-r03-l12.wav" for the region with cue index 3 and label value 12 of "prompt.vsk" (or of
// "-o prompt.wav"); a second region with both the same adds "-2", and so on.
std::string RegionName(const std::string& base, const decode::CodeRegion& region, std::set<std::string>& taken) {
  const std::filesystem::path out(base);
  char tail[32];
  std::snprintf(tail, sizeof tail, "-r%02u-l%02u", static_cast<unsigned>(region.cue),
                static_cast<unsigned>(region.label));
  const std::string stem = (out.parent_path() / out.stem()).string() + tail;
  std::string name = stem + ".wav";
  for (int n = 2; !taken.insert(name).second; ++n) name = stem + "-" + std::to_string(n) + ".wav";
  return name;
}

int Decode(const Session& session, const DecodeArgs& args) {
  const std::uint32_t clock = *ParseNumber(args.clock);
  // "prompt.vsk" decodes to "prompt.vsk.wav", never to "prompt.wav", which is likely its source.
  const std::string output = args.output.empty() ? args.input + ".wav" : args.output;
  std::string error;
  if (const auto head = FileHead(args.input, error); head && KindOf(*head) == FileKind::kWave) {
    session.Error(SafeText(args.input) + ": a WAV file, not a code file");
    return kExitUsage;
  }
  os::CatchInterrupts();
  const auto code = LoadCodeFile(args.input, clock, error);
  if (!code) {
    session.Error(SafeText(args.input) + ": " + error);
    return kExitUsage;
  }
  const decode::DecodedFile& d = code->decoded;
  if (d.sample_rate < sound::kMinRate || d.sample_rate > sound::kMaxRate) {
    // Only a rate the player does not know is estimated, and a timer can stand for absurd ones.
    session.Error(SafeText(args.input) + ": the rate " + std::to_string(d.sample_rate) + " Hz its timer gives with a " +
                  std::to_string(clock) + " Hz clock is outside " + std::to_string(sound::kMinRate) + " to " +
                  std::to_string(sound::kMaxRate) + " Hz");
    return kExitUsage;
  }
  const decode::CodeRegions regions = decode::PairRegions(d.marks);

  std::vector<Piece> pieces;
  if (args.split) {
    std::set<std::string> taken;
    const std::string& base = args.output.empty() ? args.input : args.output;
    for (const auto& r : regions.regions) pieces.push_back({RegionName(base, r, taken), r.begin, r.end, &r});
    if (pieces.empty()) {
      FileFailed(session, "decode", args.input, "the code file has no regions to split it at");
      return kExitFailed;
    }
  } else {
    pieces.push_back({output, 0, d.samples.size(), nullptr});
  }
  // Every file is checked before any is written, and all appear together.
  std::vector<OutputFile> outs;
  for (const auto& piece : pieces) {
    if (SameFile(args.input, piece.path)) {
      session.Error(SafeText(piece.path) + ": the WAV file would replace the code file");
      return kExitUsage;
    }
    auto out = OutputFile::Prepare(piece.path, error);
    if (!out) {
      session.Error(SafeText(piece.path) + ": cannot be written: " + error);
      return kExitUsage;
    }
    outs.push_back(std::move(*out));
  }
  // The whole file keeps the regions as cue points, so an audio editor shows them.
  std::vector<riff::Marker> markers;
  if (!args.split) {
    for (const auto& r : regions.regions) {
      markers.push_back({static_cast<std::uint32_t>(markers.size() + 1), static_cast<std::uint32_t>(r.begin),
                         static_cast<std::uint32_t>(r.end - r.begin), std::to_string(r.label)});
    }
  }
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const std::span<const std::int16_t> samples(d.samples.data() + pieces[i].begin, pieces[i].end - pieces[i].begin);
    if (!riff::SavePcm16Wave(outs[i].part(),
                             {.rate = d.sample_rate, .channels = 1, .samples = samples, .markers = markers})) {
      FileFailed(session, "decode", args.input, SafeText(pieces[i].path) + " cannot be written");
      return kExitFailed;
    }
  }
  if (os::Interrupted()) {
    session.Error("interrupted: nothing was written");
    return kExitInterrupted;
  }
  for (std::size_t i = 0; i < outs.size(); ++i) {
    if (!outs[i].Commit(error)) {
      FileFailed(session, "decode", args.input, SafeText(pieces[i].path) + " cannot be written: " + error);
      return kExitFailed;
    }
  }

  for (const auto& piece : pieces) {
    const std::uint64_t n = piece.end - piece.begin;
    const double seconds = static_cast<double>(n) / d.sample_rate;
    if (session.json) {
      json object = {{"command", "decode"}, {"file", args.input},          {"output", piece.path},
                     {"ok", true},          {"encoder", d.decoder->name},  {"rate", d.sample_rate},
                     {"samples", n},        {"seconds", Rounded(seconds)}, {"region", nullptr}};
      if (piece.region != nullptr) {
        object["region"] = {
            {"cue", piece.region->cue}, {"label", piece.region->label}, {"begin", piece.begin}, {"end", piece.end}};
      } else {
        object["regions"] = regions.regions.size();
      }
      session.Emit(object);
      continue;
    }
    std::string line = SafeText(piece.path) + ": " + std::to_string(d.sample_rate) + " Hz, " + SecondsText(seconds) +
                       " (" + std::to_string(n) + " samples)";
    if (piece.region != nullptr) {
      line += ", region cue " + std::to_string(piece.region->cue) + " label " + std::to_string(piece.region->label) +
              " (samples " + std::to_string(piece.begin) + " to " + std::to_string(piece.end) + ")";
    } else {
      line += ", from " + std::string(d.decoder->name) + ", " + std::to_string(regions.regions.size()) +
              (regions.regions.size() == 1 ? " region" : " regions");
    }
    session.Say(line);
  }
  if (!regions.unpaired.empty() && !session.json) {
    session.Say("  " + std::to_string(regions.unpaired.size()) + " region markers have no partner");
  }
  return kExitDone;
}

}  // namespace

void AddWaveCommands(CLI::App& app, Session& session) {
  auto convert_args = std::make_shared<ConvertArgs>();
  CLI::App* convert = app.add_subcommand(
      "convert",
      "Write a WAV file at another rate: every channel through the console's converter on its own, as 16-bit PCM, "
      "with the cue points carried to the new rate");
  convert->add_option("IN", convert_args->input, "The WAV file: PCM of 8 to 32 bits or float, any channels")
      ->required()
      ->type_name("FILE");
  convert->add_option("OUT", convert_args->output, "The WAV file to write")->required()->type_name("FILE");
  convert->add_option("--rate", convert_args->rate, "The new rate in Hz, 1000 to 384000")
      ->required()
      ->check(RateCheck())
      ->type_name("R");
  convert->footer(
      "Cue points move to the new rate (their positions and lengths scaled and rounded); one that would lie past the "
      "end is left out and said. OUT appears only when it is whole.");
  AddJsonOption(*convert, session);
  convert->callback(
      [convert_args, &session] { session.run = [convert_args, &session] { return Convert(session, *convert_args); }; });

  auto decode_args = std::make_shared<DecodeArgs>();
  CLI::App* decode = app.add_subcommand(
      "decode", "Decode a code file into a 16-bit mono WAV file, or with --split into one WAV file per region");
  decode->add_option("CODE", decode_args->input, "The code file (TARPEL or VOSSIK)")->required()->type_name("FILE");
  decode
      ->add_option("-o,--output", decode_args->output,
                   "The WAV file (default: CODE's name with .wav added, beside it: prompt.vsk.wav)")
      ->type_name("FILE");
  decode->add_flag("--split", decode_args->split, "One WAV file per region instead of one for the whole");
  decode
      ->add_option("--clock", decode_args->clock,
                   "The device clock in Hz the file was made for (default 12000000); it matters only for a rate the "
                   "player does not know, which is estimated from the timer")
      ->check(NumberCheck(1))
      ->type_name("C");
  decode->footer(
      "The whole file is named CODE.wav unless -o says otherwise: prompt.vsk.wav, so that it never replaces the "
      "prompt.wav it was likely made from. It keeps the regions as cue points, labelled with their label values. "
      "With --split each region (a start and an end marker with the same cue index and label value) goes to a file "
      "of its own, named after CODE (or after -o OUT) without its extension, then -rCC-lLL, CC the cue index and LL "
      "the label value, two digits at least: prompt.vsk gives prompt-r03-l12.wav for cue index 3 and label value 12. "
      "A second region with the same two gets -2, then -3. Files appear only when all of them are whole.");
  AddJsonOption(*decode, session);
  decode->callback(
      [decode_args, &session] { session.run = [decode_args, &session] { return Decode(session, *decode_args); }; });
}

}  // namespace velkin::cli
