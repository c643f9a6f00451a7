#include "sound/mono.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "riff/riff_file.h"
#include "riff/wave_file.h"
#include "riff/wave_format.h"

namespace velkin::sound {

namespace {

// Formats one message, printf-style, and hands it to the sink.
class Messages {
 public:
  explicit Messages(const MessageSink& sink) : sink_(sink) {}
  [[gnu::format(printf, 2, 3)]] void Say(const char* format, ...) const {
    if (!sink_) return;
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (length >= 0) {
      std::string text(static_cast<std::size_t>(length) + 1, '\0');
      std::vsnprintf(text.data(), text.size(), format, again);
      text.pop_back();
      sink_(text.c_str());
    }
    va_end(again);
  }

 private:
  const MessageSink& sink_;
};

// Reads the data chunk as far as the file holds it; a chunk that claims more gives what is there.
bool ReadData(riff::Reader& reader, std::uint64_t size, std::vector<std::uint8_t>& out) {
  try {
    out.resize(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return reader.Read(out.data(), out.size()) == out.size();
}

}  // namespace

int MakeMonoWave(const char* source, const char* destination, const MessageSink& sink) {
  if (source == nullptr || destination == nullptr || *source == '\0' || *destination == '\0') return -1;
  const Messages out(sink);
  out.Say("open file %s ...\n", source);

  std::uint32_t error = riff::kNoError;
  auto reader = riff::Reader::Open(source, error);
  if (!reader) {
    out.Say("Open wave file %s failed %d!\n", source, static_cast<int>(error));
    return -1;
  }
  riff::WaveChunks wave;
  const riff::WaveStep step = riff::FindWaveChunks(*reader, wave);
  // The messages in the order of the steps; a short format record is refused after the "fmt "
  // chunk was found and before anything later is looked at.
  if (step == riff::WaveStep::kNoWaveRiff) {
    // The search can only fail with "not found"; the code is printed twice, as the platform's was.
    out.Say("Error descending into file %d[%d]!\n", static_cast<int>(riff::kChunkNotFound),
            static_cast<int>(riff::kChunkNotFound));
    return -1;
  }
  if (step == riff::WaveStep::kNoFormat) {
    out.Say("Error descending in wave file !\n");
    return -1;
  }
  if (!wave.RecordComplete()) {
    out.Say("Error reading PCM wave format record !\n");
    return -1;
  }
  if (step == riff::WaveStep::kAscendFailed) {
    out.Say("Error ascending in File !\n");
    return -1;
  }
  if (step == riff::WaveStep::kNoData) {
    out.Say("error reading data chunk !\n");
    return -1;
  }
  riff::FormatChunk& format = wave.record;
  if (format.format.nChannels == 1) {
    out.Say("channel is equal !\n");
    return 0;
  }
  // Samples narrower than a byte cannot be walked a whole sample at a time.
  const std::size_t width = format.format.wBitsPerSample / 8;
  if (width == 0) {
    out.Say("Error sample width %d bits !\n", static_cast<int>(format.format.wBitsPerSample));
    return -1;
  }
  std::vector<std::uint8_t> input;
  if (!ReadData(*reader, wave.dataHeld, input)) return -1;
  reader.reset();

  // Keep the first sample of every pair; a trailing part of a pair is dropped rather than read
  // past the data.
  std::vector<std::uint8_t> output;
  try {
    output.reserve(input.size() / 2);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  for (std::size_t offset = 0; offset + 2 * width <= input.size(); offset += 2 * width) {
    output.insert(output.end(), input.begin() + static_cast<std::ptrdiff_t>(offset),
                  input.begin() + static_cast<std::ptrdiff_t>(offset + width));
  }

  riff::WaveFormat& f = format.format;
  f.nChannels = 1;
  f.nBlockAlign = static_cast<std::uint16_t>(f.nChannels * f.wBitsPerSample / 8);
  f.nAvgBytesPerSec = f.nBlockAlign * f.nSamplesPerSec;

  auto writer = riff::Writer::Create(destination, error);
  if (!writer) {
    out.Say("Open wave file failed !\n");
    return -1;
  }
  riff::ChunkInfo out_riff;
  riff::ChunkInfo out_data;
  writer->CreateRiff(out_riff, riff::kWave);
  riff::WriteFormatChunk(*writer, format);
  writer->CreateChunk(out_data, riff::kData);
  writer->Write(output.data(), output.size());
  writer->Ascend(out_data);
  writer->Ascend(out_riff);
  // A file that could not be written completely is not reported as written.
  if (!writer->Close()) {
    writer.reset();
    std::error_code ec;
    std::filesystem::remove(destination, ec);
    out.Say("Error writing wave file !\n");
    return -1;
  }
  return 1;
}

}  // namespace velkin::sound
