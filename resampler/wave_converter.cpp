#include "wave_converter.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <new>
#include <string>

#include "formats/le_bytes.h"
#include "resampler.h"
#include "resampler/os/debug_output.h"

namespace velkin::sondrel {

namespace {

// On a big-endian machine samples are moved between file and memory through a small byte buffer;
// on a little-endian one the samples in memory are the file's bytes already.
constexpr bool kLittleEndian = std::endian::native == std::endian::little;
constexpr std::size_t kChunkSamples = 8192;

// The most output samples a file can carry: the RIFF size field (32 bits) must cover the header,
// the largest format chunk and the data.
constexpr double kMaxOutputSamples = (4294967295.0 - 4 - (8 + 18 + 65536) - 8) / 2;

bool ReadSamples(riff::Reader& reader, SampleBuffer& samples) {
  const std::size_t bytes = samples.size() * 2;
  if (reader.Read(samples.data(), bytes) != bytes) return false;
  if constexpr (!kLittleEndian) {
    auto* raw = reinterpret_cast<const std::uint8_t*>(samples.data());
    for (std::size_t j = 0; j < samples.size(); ++j) {
      samples.data()[j] = static_cast<std::int16_t>(velkin::bytes::LoadU16(raw + 2 * j));
    }
  }
  return true;
}

bool WriteSamples(riff::Writer& writer, std::span<const std::int16_t> samples) {
  if constexpr (kLittleEndian) return writer.Write(samples.data(), samples.size_bytes()) == samples.size_bytes();
  std::uint8_t bytes[kChunkSamples * 2];
  for (std::size_t done = 0; done < samples.size();) {
    const std::size_t n = std::min(kChunkSamples, samples.size() - done);
    for (std::size_t j = 0; j < n; ++j) {
      velkin::bytes::StoreU16(bytes + 2 * j, static_cast<std::uint16_t>(samples[done + j]));
    }
    if (writer.Write(bytes, n * 2) != n * 2) return false;
    done += n;
  }
  return true;
}

bool WriteWave(const std::string& path, const riff::FormatChunk& format, std::span<const std::int16_t> samples,
               bool& created) {
  std::uint32_t error = riff::kNoError;
  auto writer = riff::Writer::Create(path, error);
  created = writer != nullptr;
  if (!writer) return false;
  riff::ChunkInfo riffChunk;
  riff::ChunkInfo dataChunk;
  bool ok = writer->CreateRiff(riffChunk, riff::kWave) == riff::kNoError;
  ok = ok && riff::WriteFormatChunk(*writer, format) == riff::kNoError;
  ok = ok && writer->CreateChunk(dataChunk, riff::kData) == riff::kNoError;
  ok = ok && WriteSamples(*writer, samples);
  ok = ok && writer->Ascend(dataChunk) == riff::kNoError;
  ok = ok && writer->Ascend(riffChunk) == riff::kNoError;
  return writer->Close() && ok;
}

}  // namespace

bool SampleBuffer::Allocate(std::size_t count) {
  samples_ = AllocateLargeMemory(std::max<std::size_t>(count, 1));  // an empty buffer is no failure
  size_ = samples_ ? count : 0;
  return samples_ != nullptr;
}

void SampleBuffer::Release() {
  samples_.reset();
  size_ = 0;
}

ReadStatus ReadWaveInput(riff::Reader& reader, WaveInput& out) {
  // A short format record is read as far as it goes: the missing fields stay zero.
  riff::WaveChunks chunks;
  switch (riff::FindWaveChunks(reader, chunks)) {
    case riff::WaveStep::kFound:
      break;
    case riff::WaveStep::kNoWaveRiff:
      return ReadStatus::kNoWaveRiff;
    case riff::WaveStep::kNoFormat:
      return ReadStatus::kNoFormat;
    case riff::WaveStep::kAscendFailed:
      return ReadStatus::kAscendFailed;
    case riff::WaveStep::kNoData:
      return ReadStatus::kNoData;
  }
  out.format = std::move(chunks.record);
  const std::size_t count = chunks.data.size / 2;
  // A declared size the file cannot back is refused before anything is allocated for it.
  if (chunks.dataHeld < static_cast<std::uint64_t>(count) * 2) return ReadStatus::kShortData;
  if (!out.samples.Allocate(count)) return ReadStatus::kNoMemory;
  return ReadSamples(reader, out.samples) ? ReadStatus::kOk : ReadStatus::kShortData;
}

namespace {

bool Allocate(SampleBuffer& output, std::size_t count) {
  return output.Allocate(count);
}

bool Allocate(std::vector<std::int16_t>& output, std::size_t count) {
  try {
    output.assign(count, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

template <typename Output>
bool ResampleInto(std::span<const std::int16_t> input, float inputRate, float outputRate, Output& output) {
  if (!(inputRate > 0.0f) || !(outputRate > 0.0f) || !std::isfinite(inputRate) || !std::isfinite(outputRate)) {
    return false;
  }
  const double wanted =
      std::trunc(static_cast<double>(input.size()) * static_cast<double>(outputRate) / static_cast<double>(inputRate));
  if (wanted > kMaxOutputSamples || input.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    return false;
  const auto outCount = static_cast<std::int32_t>(wanted);

  C_Resampler resampler(/*useLargeFilter=*/true, /*linearMode=*/false, /*interpolateCoefficients=*/true);
  if (!resampler.configure(static_cast<double>(outputRate) / static_cast<double>(inputRate), 1, 1.0)) return false;
  if (!Allocate(output, static_cast<std::size_t>(outCount))) return false;
  auto inCount = static_cast<std::int32_t>(input.size());
  // A run that stops early leaves output samples it never computed: such a result is not written.
  return resampler.run(inCount, outCount, input.data(), output.data()) == outCount;
}

}  // namespace

bool ResampleSamples(std::span<const std::int16_t> input, float inputRate, float outputRate, SampleBuffer& output) {
  return ResampleInto(input, inputRate, outputRate, output);
}

bool ResampleSamples(std::span<const std::int16_t> input, float inputRate, float outputRate,
                     std::vector<std::int16_t>& output) {
  return ResampleInto(input, inputRate, outputRate, output);
}

C_WaveConverter::~C_WaveConverter() = default;

std::int32_t C_WaveConverter::convert(const char* inputPath, const char* outputPath, float outputRate) {
  if (inputPath == nullptr || *inputPath == '\0' || outputPath == nullptr || *outputPath == '\0') return 0;

  WaveInput wave;
  {
    std::uint32_t error = riff::kNoError;
    auto reader = riff::Reader::Open(inputPath, error);
    if (!reader) {
      WriteDebugOutput("Open wave file failed !\n");
      return 0;
    }
    switch (ReadWaveInput(*reader, wave)) {
      case ReadStatus::kOk:
        break;
      case ReadStatus::kNoWaveRiff:
        WriteDebugOutput("Error descending into file !\n");
        return 0;
      case ReadStatus::kNoFormat:
        WriteDebugOutput("Error descending in wave file !\n");
        return 0;
      case ReadStatus::kAscendFailed:
        WriteDebugOutput("Error ascending in File !\n");
        return 0;
      case ReadStatus::kNoData:
      case ReadStatus::kShortData:
        WriteDebugOutput("error reading data chunk !\n");
        return 0;
      case ReadStatus::kNoMemory:
        return 0;
    }
  }  // the input is closed here, before the output is made

  riff::WaveFormat& format = wave.format.format;
  // A rate of 0 has no quotient; a rate the 32-bit field cannot hold cannot be written.
  if (format.nSamplesPerSec == 0 || !(outputRate > 0.0f) || !(outputRate < 4294967296.0f)) return 0;
  const auto inputRate = static_cast<float>(format.nSamplesPerSec);
  if (inputRate == outputRate) return 0;

  SampleBuffer output;
  if (!ResampleSamples(wave.samples.span(), inputRate, outputRate, output)) return 0;
  wave.samples.Release();

  format.nSamplesPerSec = static_cast<std::uint32_t>(outputRate);
  format.nBlockAlign =
      static_cast<std::uint16_t>(static_cast<std::uint32_t>(format.nChannels) * format.wBitsPerSample / 8);
  format.nAvgBytesPerSec = static_cast<std::uint32_t>(format.nBlockAlign) * format.nSamplesPerSec;

  bool created = false;
  if (!WriteWave(outputPath, wave.format, output.span(), created)) {
    if (!created) {
      WriteDebugOutput("Open wave file failed !\n");
    } else {
      // Never leave a partial file behind.
      std::remove(outputPath);
    }
    return 0;
  }
  return 1;
}

}  // namespace velkin::sondrel
