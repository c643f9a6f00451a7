// encode: a WAV file into a code file, prepared as the console prepares it (the first channel, the
// converter to the rate) and encoded by the encoders' own exports, so that the bytes are the
// console's; then decoded again to tell the size, the bits per sample and the SNR.
#include <velkin/tarpel.h>
#include <velkin/vossik.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "sound/encoder_progress.h"
#include "sound/prepare.h"
#include "sound/quality.h"
#include "sound/wave_audio.h"
#include "tools/velkin/command_table.h"
#include "tools/velkin/files.h"
#include "tools/velkin/image_file.h"
#include "tools/velkin/os/platform.h"
#include "tools/velkin/progress.h"

namespace velkin::cli {
namespace {

using nlohmann::json;

constexpr const char* kEncodeCommand = "encode";
// The encoders want a non-empty text here; it means nothing to them. The console passes "8".
constexpr const char* kReservedText = "8";
constexpr std::uint32_t kDefaultRate = 16000;
constexpr std::uint32_t kMinClock = 1000000;
constexpr std::uint32_t kMaxClock = 100000000;
constexpr std::uint32_t kMaxThreshold = 32767;
// The header keeps a sample count of 24 bits.
constexpr std::uint64_t kMaxSamples = 0xFFFFFF;

using Export = int32_t(VELKIN_CALL*)(const char*, const char*, const char*, const char*, int32_t, uint32_t,
                                     EncoderProgressCallback, intptr_t);

struct Encoder {
  const char* name;       // as the console names it
  const char* key;        // in JSON
  const char* extension;  // of the default output
  Export encode;
};

constexpr Encoder kTarpel = {"TARPEL", "tarpel", ".tpl", TARPEL};
constexpr Encoder kVossik = {"VOSSIK", "vossik", ".vsk", VOSSIK};

struct EncodeArgs {
  bool tarpel = false;
  bool vossik = false;
  std::string input;
  std::string output;
  std::string rate = std::to_string(kDefaultRate);
  std::string threshold = "0";
  std::string clock = std::to_string(kConsoleClock);
};

CLI::Validator Bounded(const char* what, std::uint32_t low, std::uint32_t high, const char* unit) {
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        const auto value = ParseNumber(text);
        if (value && *value >= low && *value <= high) return "";
        return std::string("the ") + what + " " + text + unit + " is outside " + std::to_string(low) + " to " +
               std::to_string(high) + unit;
      },
      "");
}

// The encoder's progress as one bar over the whole sound (sound::EncoderProgress).
struct ProgressMap {
  ProgressBars* bars = nullptr;
  const char* step = "";
  sound::EncoderProgress overall;
  int shown = -1;
  bool stopping = false;

  void Report(int percent) {
    // The export cannot be stopped half way: Ctrl-C is heeded when it returns, and said now.
    if (!stopping && os::Interrupted()) {
      stopping = true;
      if (bars->active()) {
        bars->Update(0, "stopping", std::max(shown, 0));
        bars->Draw();
      } else {
        std::fputs("velkin: interrupted: stopping when the encoder returns; nothing will be written\n", stderr);
      }
    }
    if (stopping) return;
    const int now = overall.Overall(percent);
    if (now <= shown) return;
    shown = now;
    bars->Update(0, step, now);
    bars->Draw();
  }
};

int32_t VELKIN_CALL OnProgress(int32_t /*source*/, int32_t percent, intptr_t user) {
  reinterpret_cast<ProgressMap*>(user)->Report(percent);
  return 0;
}

// The number of samples the converter makes of `frames` at `from` Hz: trunc(n * to / from).
std::uint64_t PreparedLength(std::uint64_t frames, std::uint32_t from, std::uint32_t to) {
  if (from == to) return frames;
  return static_cast<std::uint64_t>(static_cast<double>(frames) * to / from);
}

// The encoders end an input path at its first "," from the third character on.
bool EncoderTakesPath(const std::string& path) {
  const auto comma = path.find(',');
  return comma == std::string::npos || comma < 2;
}

int Encode(const Session& session, const EncodeArgs& args) {
  const Encoder& encoder = args.tarpel ? kTarpel : kVossik;
  const std::uint32_t rate = *ParseNumber(args.rate);
  const auto threshold = *ParseNumber(args.threshold);
  const std::uint32_t clock = *ParseNumber(args.clock);
  // The clock as the encoders read it (decimal text), whatever form it was given in.
  const std::string clock_text = std::to_string(clock);
  const std::string output = args.output.empty() ? WithExtension(args.input, encoder.extension) : args.output;
  const std::string input_name = SafeText(args.input);

  std::string error;
  const auto info = sound::ReadWaveInfo(args.input, error);
  if (!info) {
    session.Error(input_name + ": " + error);
    return kExitUsage;
  }
  const std::uint64_t length = PreparedLength(info->frames, info->format.rate, rate);
  if (length > kMaxSamples) {
    session.Error(input_name + ": " + std::to_string(length) + " samples at " + std::to_string(rate) +
                  " Hz, and a code file counts at most " + std::to_string(kMaxSamples) + " (" +
                  SecondsText(static_cast<double>(kMaxSamples) / rate) + ")");
    return kExitUsage;
  }
  if (SameFile(args.input, output)) {
    session.Error(SafeText(output) + ": the code file would replace its own source");
    return kExitUsage;
  }
  auto out = OutputFile::Prepare(output, error);
  if (!out) {
    session.Error(SafeText(output) + ": cannot be written: " + error);
    return kExitUsage;
  }
  auto work = WorkFolder::Make(error);
  if (!work) {
    session.Error(error);
    return kExitFailed;
  }
  const std::string source_copy = work->File("source.wav");
  const std::string code_path = work->File("code.bin");
  if (!EncoderTakesPath(source_copy)) {
    session.Error(SafeText(work->path().string()) +
                  ": the temporary folder's path has a comma, which ends a path for the encoders; set TMPDIR (TMP "
                  "on Windows) to another folder");
    return kExitFailed;
  }

  os::CatchInterrupts();
  const auto audio = sound::ReadWaveAudio(args.input, error);
  if (!audio) {
    session.Error(input_name + ": " + error);
    return kExitUsage;
  }
  const auto prepared = sound::PrepareSound(*audio, {.rate = rate, .channels = sound::ChannelChoice::kFirst}, error);
  if (!prepared) {
    session.Error(input_name + ": " + error);
    return kExitUsage;
  }
  // A source that is already what the preparation makes is encoded as it is, byte for byte the
  // file the console would hand the encoder; otherwise the prepared sound with its markers.
  const bool as_is = prepared->sourceSamples && !audio->Truncated();
  std::error_code copy_error;
  if (as_is ? !std::filesystem::copy_file(args.input, source_copy, copy_error)
            : !sound::WritePreparedSound(source_copy, *prepared)) {
    session.Error("the prepared sound cannot be written into " + SafeText(work->path().string()));
    return kExitFailed;
  }
  if (os::Interrupted()) {
    session.Error("interrupted: nothing was written");
    return kExitInterrupted;
  }

  ProgressBars bars({std::filesystem::path(args.input).filename().string()}, true);
  ProgressMap progress{&bars, encoder.name, sound::EncoderProgress(prepared->markers, prepared->samples.size())};
  const int32_t result = encoder.encode(code_path.c_str(), source_copy.c_str(), clock_text.c_str(), kReservedText, 0,
                                        threshold, OnProgress, reinterpret_cast<intptr_t>(&progress));
  if (result != 1) {
    bars.Finish(0, "FAILED");
    bars.End();
    FileFailed(session, kEncodeCommand, args.input,
               std::string(encoder.name) + (result == 2 ? " refused the prepared sound as not 16-bit PCM"
                                                        : " could not encode the prepared sound"));
    return kExitFailed;
  }
  if (os::Interrupted()) {
    bars.Finish(0, "CANCELLED");
    bars.End();
    session.Error("interrupted: nothing was written");
    return kExitInterrupted;
  }
  const auto code = LoadCodeFile(code_path, clock, error);
  if (!code) {
    bars.Finish(0, "FAILED");
    bars.End();
    FileFailed(session, kEncodeCommand, args.input, std::string(encoder.name) + " wrote a code file that " + error);
    return kExitFailed;
  }
  if (!out->Write(code->bytes, error) || !out->Commit(error)) {
    bars.Finish(0, "FAILED");
    bars.End();
    FileFailed(session, kEncodeCommand, args.input, SafeText(output) + " cannot be written: " + error);
    return kExitFailed;
  }
  bars.Finish(0, "done");
  bars.End();

  const auto samples = prepared->samples.size();
  const double seconds = static_cast<double>(samples) / rate;
  const double bits = samples == 0 ? 0.0 : 8.0 * static_cast<double>(code->bytes.size()) / static_cast<double>(samples);
  const double snr = sound::SnrDb(prepared->samples, code->decoded.samples);
  const std::size_t regions = prepared->markers.size();
  if (session.json) {
    json lost = json::array();
    for (const auto& m : prepared->lostMarkers) lost.push_back(m.id);
    session.Emit({{"command", kEncodeCommand},
                  {"file", args.input},
                  {"output", output},
                  {"ok", true},
                  {"encoder", encoder.key},
                  {"rate", rate},
                  {"clock", clock},
                  {"threshold", threshold},
                  {"samples", samples},
                  {"seconds", std::round(seconds * 1000.0) / 1000.0},
                  {"bytes", code->bytes.size()},
                  {"bits_per_sample", std::round(bits * 1000.0) / 1000.0},
                  {"snr_db", DecibelJson(snr)},
                  {"regions", regions},
                  {"lost_cues", lost},
                  {"clipped", prepared->clipped},
                  {"source", {{"rate", audio->format.rate}, {"channels", audio->format.channels}}}});
    return kExitDone;
  }
  char figures[96];
  std::snprintf(figures, sizeof figures, "%.2f bits per sample", bits);
  session.Say(SafeText(output) + ": " + encoder.name + ", " + std::to_string(rate) + " Hz, " + SecondsText(seconds) +
              " (" + std::to_string(samples) + " samples), " + std::to_string(code->bytes.size()) + " bytes, " +
              figures + ", SNR " + DecibelText(snr) + " dB");
  std::string from = "  from " + input_name + " (" + std::to_string(audio->format.rate) + " Hz, " +
                     std::to_string(audio->format.channels) +
                     (audio->format.channels == 1 ? " channel)" : " channels)");
  if (audio->format.channels > 1) from += ", its first channel";
  if (regions > 0) from += ", " + std::to_string(regions) + (regions == 1 ? " region" : " regions");
  session.Say(from);
  for (const auto& m : prepared->lostMarkers) {
    session.Say("  cue " + std::to_string(m.id) + " lies past the end at " + std::to_string(rate) +
                " Hz and is not in the code file");
  }
  if (prepared->clipped > 0) {
    session.Say("  " + std::to_string(prepared->clipped) + " samples clipped on the way to 16 bits");
  }
  return kExitDone;
}

}  // namespace

void AddEncodeCommand(CLI::App& app, Session& session) {
  auto args = std::make_shared<EncodeArgs>();
  CLI::App* encode = app.add_subcommand(
      "encode",
      "Encode a WAV file into a code file: prepared as the console prepares it (its first channel, the console's "
      "converter to the rate), encoded by TARPEL (12-bit PCM) or VOSSIK (4-bit ADPCM); shows the size, the bits per "
      "sample and the SNR of the decoded code file against the prepared sound");
  auto* tarpel = encode->add_flag("--tarpel", args->tarpel, "Encode with TARPEL: 12-bit PCM");
  encode->add_flag("--vossik", args->vossik, "Encode with VOSSIK: 4-bit ADPCM")->excludes(tarpel);
  encode->add_option("IN", args->input, "The WAV file: PCM of 8 to 32 bits or float, any channels, 1000 to 384000 Hz")
      ->required()
      ->type_name("FILE");
  encode->add_option("-o,--output", args->output, "The code file (default: IN's name with .vsk or .tpl, beside it)")
      ->type_name("FILE");
  encode->add_option("--rate", args->rate, "The rate to encode at, in Hz (default 16000, the console's)")
      ->check(Bounded("rate", sound::kMinRate, sound::kMaxRate, " Hz"))
      ->type_name("R");
  encode
      ->add_option("--threshold", args->threshold,
                   "Amplitude below which samples count as silence (default 0, which the encoders raise to 4)")
      ->check(Bounded("threshold", 0, kMaxThreshold, ""))
      ->type_name("A");
  encode->add_option("--clock", args->clock, "The device clock in Hz the timer values are made for (default 12000000)")
      ->check(Bounded("clock", kMinClock, kMaxClock, " Hz"))
      ->type_name("C");
  encode->footer(
      "The code file is named, unless -o says otherwise, after IN with its extension replaced by .vsk (VOSSIK) or "
      ".tpl (TARPEL), beside it: prompt.wav gives prompt.vsk or prompt.tpl. The console names nothing itself, and the "
      "encoders' own default (.COD) is the same for both encodings, so that one would replace the other. A source "
      "that is already one channel of 16-bit PCM at the rate is encoded as it is, so the code file is the one the "
      "console's TARPEL or VOSSIK command makes of it. The file appears only when it is whole.");
  AddJsonOption(*encode, session);
  encode->callback([args, &session] {
    if (!args->tarpel && !args->vossik) throw CLI::RequiredError("--tarpel or --vossik");
    session.run = [args, &session] { return Encode(session, *args); };
  });
}

}  // namespace velkin::cli
