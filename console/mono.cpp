#include "mono.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <vector>

#include "riff/riff_file.h"
#include "riff/wave_format.h"

namespace velkin::console {

namespace {

// Reads the whole data chunk; a chunk that claims more than the file holds gives what is there.
bool ReadData(riff::Reader& reader, const riff::ChunkInfo& data, std::vector<std::uint8_t>& out) {
  const std::uint64_t available = reader.Remaining();
  const std::uint64_t size = data.size < available ? data.size : available;
  try {
    out.resize(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return reader.Read(out.data(), out.size()) == out.size();
}

}  // namespace

int MakeMonoWave(const char* source, const char* destination) {
  if (source == nullptr || destination == nullptr || *source == '\0' || *destination == '\0') return -1;
  std::printf("open file %s ...\n", source);

  std::uint32_t error = riff::kNoError;
  auto reader = riff::Reader::Open(source, error);
  if (!reader) {
    std::printf("Open wave file %s failed %d!\n", source, static_cast<int>(error));
    return -1;
  }
  riff::ChunkInfo riff_chunk;
  if (const auto rc = reader->DescendRiff(riff_chunk, riff::kWave); rc != riff::kNoError) {
    std::printf("Error descending into file %d[%d]!\n", static_cast<int>(rc), static_cast<int>(riff::kChunkNotFound));
    return -1;
  }
  riff::ChunkInfo chunk;
  if (reader->Descend(chunk, &riff_chunk, riff::kFmt) != riff::kNoError) {
    std::printf("Error descending in wave file !\n");
    return -1;
  }
  riff::FormatChunk format;
  const std::size_t wanted = chunk.size < riff::kWaveFormatSize ? chunk.size : riff::kWaveFormatSize;
  if (riff::ReadFormatChunk(*reader, chunk, format) < wanted) {
    std::printf("Error reading PCM wave format record !\n");
    return -1;
  }
  if (reader->Ascend(chunk) != riff::kNoError) {
    std::printf("Error ascending in File !\n");
    return -1;
  }
  if (reader->Descend(chunk, &riff_chunk, riff::kData) != riff::kNoError) {
    std::printf("error reading data chunk !\n");
    return -1;
  }
  if (format.format.nChannels == 1) {
    std::printf("channel is equal !\n");
    return 0;
  }
  // Samples narrower than a byte cannot be walked a whole sample at a time.
  const std::size_t width = format.format.wBitsPerSample / 8;
  if (width == 0) {
    std::printf("Error sample width %d bits !\n", static_cast<int>(format.format.wBitsPerSample));
    return -1;
  }
  std::vector<std::uint8_t> input;
  if (!ReadData(*reader, chunk, input)) return -1;
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
    std::printf("Open wave file failed !\n");
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
    std::printf("Error writing wave file !\n");
    return -1;
  }
  return 1;
}

}  // namespace velkin::console
