// VOSSIK, TARPEL, WAVCONV and MONO: the console builds file names, calls the encoder and
// converter libraries through their exports, relays progress and reports the outcome.
#include <velkin/sondrel.h>
#include <velkin/tarpel.h>
#include <velkin/vossik.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "audio_commands.h"
#include "output.h"
#include "shell.h"
#include "sound/mono.h"

namespace velkin::console {

namespace {

constexpr std::size_t kPathBufferSize = 4096;
constexpr std::size_t kMonoPathBufferSize = 128;
constexpr float kTargetRate = 16000.0f;
constexpr const char* kResampledSuffix = "x16000.wav";
constexpr const char* kDeviceClock = "12000000";
constexpr const char* kReservedText = "8";

// The mono routine's unmarked messages are part of the console's answer.
void ToStandardOutput(const char* line) {
  std::fputs(line, stdout);
}

int MakeMonoWave(const char* source, const char* destination) {
  return sound::MakeMonoWave(source, destination, ToStandardOutput);
}

using Encoder = int32_t(VELKIN_CALL*)(const char*, const char*, const char*, const char*, int32_t, uint32_t,
                                      EncoderProgressCallback, intptr_t);

// Up to three quoted arguments of a line, each copied into its own zero-filled buffer.
// `count` tells how many were found in a row; `fits` is false when one was longer than its buffer.
template <std::size_t N>
struct Args {
  char text[3][N];
  int count = 0;
  bool fits = true;
};

template <std::size_t N>
void ReadArgs(const char* line, Args<N>& args) {
  ArgReader reader(line);
  for (auto& buffer : args.text) std::memset(buffer, 0, N);
  for (args.count = 0; args.count < 3; ++args.count) {
    if (!reader.Next(args.text[args.count])) break;
  }
  args.fits = reader.AllFit();
}

int32_t VELKIN_CALL TarpelProgressCallback(int32_t kind, int32_t percent, intptr_t user) {
  return TarpelProgress(kind, percent, user);
}

int32_t VELKIN_CALL VossikProgressCallback(int32_t kind, int32_t percent, intptr_t user) {
  return VossikProgress(kind, percent, user);
}

// The two encoder commands differ only in their label, export and callback.
struct EncoderCommand {
  const char* word;   // table word, also the label of the result line
  const char* label;  // label of the information lines
  Encoder encode;
  EncoderProgressCallback progress;
};

void RunEncoderCommand(const EncoderCommand& cmd, const char* line) {
  Args<kPathBufferSize> args;
  ReadArgs(line, args);
  // A path longer than its buffer is refused as a bad parameter rather than cut to another name.
  if (args.count < 2 || !args.fits) {
    std::printf("%s%s:bad parameter\n", kFailure, cmd.word);
    return;
  }
  std::string source = args.text[0];
  const char* destination = args.text[1];
  std::printf("%s%s: des %s src %s\n", kInfo, cmd.label, destination, source.c_str());
  if (args.count >= 3 && DownsampleWave(source.c_str()) != 0) {
    std::printf("%s%s: des %s src %s sample rate %s\n", kInfo, cmd.label, destination, source.c_str(), args.text[2]);
    // The resampled copy is named after the source up to its first "."; a source without a
    // "." keeps its whole path, matching the name DownsampleWave gave the converter.
    source = source.substr(0, source.find('.'));
    std::printf("%s%s: des %s src %s\n", kInfo, cmd.label, destination, source.c_str());
    source += kResampledSuffix;
    std::printf("%s%s: des %s src %s\n", kInfo, cmd.label, destination, source.c_str());
  }
  const int32_t result = cmd.encode(destination, source.c_str(), kDeviceClock, kReservedText, 0, 0, cmd.progress,
                                    reinterpret_cast<intptr_t>(args.text[0]));
  // Only 1 means the code file was written; 2 (input not 16-bit) is a failure too.
  std::printf("%s%s:src %s des %s\n", result == 1 ? kSuccess : kFailure, cmd.word, source.c_str(), destination);
}

}  // namespace

int32_t TarpelProgress(int32_t kind, int32_t percent, intptr_t /*user*/) {
  std::printf("%s%s:%d\n", kInfo, kind == 1 ? "TARPEL" : "VOSSIK", percent);
  std::fflush(stdout);
  return 0;
}

int32_t VossikProgress(int32_t /*kind*/, int32_t percent, intptr_t /*user*/) {
  std::printf("%s%s:%d\n", kInfo, "VOSSIK", percent);
  std::fflush(stdout);
  return 0;
}

std::string ResampledCopyName(const std::string& source) {
  return source.substr(0, source.find('.')) + kResampledSuffix;
}

int32_t DownsampleWave(const char* source) {
  const std::string path(source);
  const std::string copy = ResampledCopyName(path);
  const auto dot = path.find('.');
  std::printf("%sDOWNSAMPLE:%s[%s]\n", kInfo, copy.c_str(), dot == std::string::npos ? "" : path.c_str() + dot);
  return ZOLT_WaveConverter(source, copy.c_str(), kTargetRate);
}

void VossikCommand(const char* line) {
  RunEncoderCommand({"VOSSIK", "MORVIK", VOSSIK, VossikProgressCallback}, line);
}

void TarpelCommand(const char* line) {
  RunEncoderCommand({"TARPEL", "TARPEL", TARPEL, TarpelProgressCallback}, line);
}

void WavconvCommand(const char* line) {
  Args<kPathBufferSize> args;
  ReadArgs(line, args);
  if (args.count < 2 || !args.fits) {
    std::printf("%s%s:bad parameter\n", kFailure, "WAVCONV");
    return;
  }
  const char* source = args.text[0];
  const char* destination = args.text[1];
  const int32_t converted = ZOLT_WaveConverter(source, destination, kTargetRate);
  const char* marker = converted != 0 ? kSuccess : kFailure;
  if (args.count < 3) {
    std::printf("%s%s:src %s des %s\n", marker, "WAVCONV", source, destination);
    return;
  }
  std::printf("chparm %s\n", args.text[2]);
  const int mono = MakeMonoWave(destination, args.text[2]);
  std::printf("%s%s:src %s des %s\n", marker, "WAVCONV", source, mono == 1 ? args.text[2] : destination);
}

void MonoCommand(const char* line) {
  Args<kMonoPathBufferSize> args;
  ReadArgs(line, args);
  if (args.count < 2 || !args.fits) {
    std::printf("%s%s:bad parameter\n", kFailure, "MONO");
    return;
  }
  const int mono = MakeMonoWave(args.text[0], args.text[1]);
  std::printf("%s%s:src %s des %s\n", mono == 1 ? kSuccess : kFailure, "MONO", args.text[0], args.text[1]);
}

}  // namespace velkin::console
