#include "riff/wave_file.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

#include "formats/le_bytes.h"

namespace velkin::riff {

using bytes::LoadU32;
using bytes::StoreU16;
using bytes::StoreU32;

namespace {

constexpr std::size_t kCueRecordBytes = 24;
constexpr std::size_t kLtxtBytes = 20;
constexpr FourCC kRegionPurpose = MakeFourCC("rgn ");
// A label is a short name; longer texts are cut here rather than read whole.
constexpr std::uint32_t kMaxLabelBytes = 4096;

// Bytes of `chunk` the file really holds from the reader's position (its data start) on.
std::uint64_t HeldBytes(const Reader& reader, const ChunkInfo& chunk) {
  return std::min<std::uint64_t>(chunk.size, reader.Remaining());
}

void ReadCuePoints(Reader& reader, const ChunkInfo& riff, std::vector<Marker>& out) {
  reader.Restart(riff);
  ChunkInfo cue;
  if (reader.Descend(cue, &riff, kCue) != kNoError) return;
  std::array<std::uint8_t, kCueRecordBytes> record{};
  // Measured before the count is read: after it, the chunk's own size no longer applies from the
  // position, and a file that ends inside the chunk would make the difference wrap around.
  const std::uint64_t chunkHeld = HeldBytes(reader, cue);
  if (chunkHeld < 4 || reader.Read(record.data(), 4) != 4) return;
  const std::uint64_t held = (chunkHeld - 4) / kCueRecordBytes;
  // Only as many records as the chunk and the file hold, whatever the count says.
  const std::uint64_t count = std::min<std::uint64_t>(LoadU32(record.data()), held);
  out.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    if (reader.Read(record.data(), record.size()) != record.size()) break;
    Marker m;
    m.id = LoadU32(record.data());
    m.position = LoadU32(record.data() + 4);
    out.push_back(std::move(m));
  }
}

struct AssociatedData {
  std::map<std::uint32_t, std::uint32_t> lengths;
  std::map<std::uint32_t, std::string> labels;
};

void ReadAdtlList(Reader& reader, const ChunkInfo& list, AssociatedData& out) {
  ChunkInfo sub;
  while (reader.DescendNext(sub, &list) == kNoError) {
    std::array<std::uint8_t, 8> head{};
    const std::uint64_t held = HeldBytes(reader, sub);
    if (held >= head.size() && sub.id == kLtxt && reader.Read(head.data(), head.size()) == head.size()) {
      out.lengths.emplace(LoadU32(head.data()), LoadU32(head.data() + 4));  // the first for an id holds
    } else if (held >= 4 && sub.id == kLabl && reader.Read(head.data(), 4) == 4) {
      std::string text(static_cast<std::size_t>(std::min<std::uint64_t>(held - 4, kMaxLabelBytes)), '\0');
      text.resize(reader.Read(text.data(), text.size()));
      text.resize(std::strlen(text.c_str()));  // up to the terminating zero
      out.labels.emplace(LoadU32(head.data()), std::move(text));
    }
    reader.Ascend(sub);
  }
}

}  // namespace

bool WaveChunks::RecordComplete() const {
  return recordBytes >= std::min<std::size_t>(format.size, kWaveFormatSize);
}

WaveStep FindWaveChunks(Reader& reader, WaveChunks& out) {
  out = WaveChunks{};
  if (reader.DescendRiff(out.riff, kWave) != kNoError) return WaveStep::kNoWaveRiff;
  if (reader.Descend(out.format, &out.riff, kFmt) != kNoError) return WaveStep::kNoFormat;
  out.recordBytes = ReadFormatChunk(reader, out.format, out.record);
  if (reader.Ascend(out.format) != kNoError) return WaveStep::kAscendFailed;
  if (reader.Descend(out.data, &out.riff, kData) != kNoError) return WaveStep::kNoData;
  out.dataHeld = HeldBytes(reader, out.data);
  return WaveStep::kFound;
}

std::vector<Marker> ReadWaveMarkers(Reader& reader, const ChunkInfo& riff) {
  std::vector<Marker> markers;
  ReadCuePoints(reader, riff, markers);
  if (markers.empty()) return markers;
  AssociatedData data;
  reader.Restart(riff);
  ChunkInfo list;
  while (reader.Descend(list, &riff, kList) == kNoError) {
    if (list.formType == kAdtl) ReadAdtlList(reader, list, data);
    reader.Ascend(list);
  }
  for (Marker& m : markers) {
    if (const auto it = data.lengths.find(m.id); it != data.lengths.end()) m.length = it->second;
    if (const auto it = data.labels.find(m.id); it != data.labels.end()) m.label = it->second;
  }
  return markers;
}

namespace {

std::uint32_t WriteSamples(Writer& writer, std::span<const std::int16_t> samples) {
  std::array<std::uint8_t, 16384> bytes{};
  for (std::size_t done = 0; done < samples.size();) {
    const std::size_t n = std::min(bytes.size() / 2, samples.size() - done);
    for (std::size_t j = 0; j < n; ++j) StoreU16(&bytes[2 * j], static_cast<std::uint16_t>(samples[done + j]));
    if (writer.Write(bytes.data(), 2 * n) != 2 * n) return kCannotWrite;
    done += n;
  }
  return kNoError;
}

std::uint32_t WriteCueChunk(Writer& writer, std::span<const Marker> markers) {
  ChunkInfo cue;
  if (const auto rc = writer.CreateChunk(cue, kCue); rc != kNoError) return rc;
  std::array<std::uint8_t, kCueRecordBytes> record{};
  StoreU32(record.data(), static_cast<std::uint32_t>(markers.size()));
  if (writer.Write(record.data(), 4) != 4) return kCannotWrite;
  for (const Marker& m : markers) {
    StoreU32(&record[0], m.id);
    StoreU32(&record[4], m.position);
    StoreU32(&record[8], kData);
    StoreU32(&record[12], 0);  // chunk start: the only data chunk
    StoreU32(&record[16], 0);  // block start: uncompressed
    StoreU32(&record[20], m.position);
    if (writer.Write(record.data(), record.size()) != record.size()) return kCannotWrite;
  }
  return writer.Ascend(cue);
}

std::uint32_t WriteSubChunk(Writer& writer, FourCC id, const void* body, std::size_t size, const void* tail = nullptr,
                            std::size_t tailSize = 0) {
  ChunkInfo chunk;
  if (const auto rc = writer.CreateChunk(chunk, id); rc != kNoError) return rc;
  if (writer.Write(body, size) != size) return kCannotWrite;
  if (tailSize > 0 && writer.Write(tail, tailSize) != tailSize) return kCannotWrite;
  return writer.Ascend(chunk);
}

std::uint32_t WriteAdtlList(Writer& writer, std::span<const Marker> markers) {
  const bool lengths = std::any_of(markers.begin(), markers.end(), [](const Marker& m) { return m.length != 0; });
  const bool labels = std::any_of(markers.begin(), markers.end(), [](const Marker& m) { return !m.label.empty(); });
  if (!lengths && !labels) return kNoError;
  ChunkInfo list;
  if (const auto rc = writer.CreateList(list, kAdtl); rc != kNoError) return rc;
  for (const Marker& m : markers) {
    if (lengths) {
      std::array<std::uint8_t, kLtxtBytes> ltxt{};  // country, language, dialect, code page: 0
      StoreU32(&ltxt[0], m.id);
      StoreU32(&ltxt[4], m.length);
      StoreU32(&ltxt[8], kRegionPurpose);
      if (const auto rc = WriteSubChunk(writer, kLtxt, ltxt.data(), ltxt.size()); rc != kNoError) return rc;
    }
    if (!m.label.empty()) {
      std::array<std::uint8_t, 4> id{};
      StoreU32(id.data(), m.id);
      // The text with its terminating zero, as the format keeps it.
      const std::size_t text = std::strlen(m.label.c_str()) + 1;
      if (const auto rc = WriteSubChunk(writer, kLabl, id.data(), id.size(), m.label.c_str(), text); rc != kNoError) {
        return rc;
      }
    }
  }
  return writer.Ascend(list);
}

}  // namespace

std::uint32_t WritePcm16Wave(Writer& writer, const Pcm16Wave& wave) {
  if (wave.channels == 0) return kCannotWrite;
  FormatChunk format;
  format.format.wFormatTag = 1;
  format.format.nChannels = wave.channels;
  format.format.nSamplesPerSec = wave.rate;
  format.format.nBlockAlign = static_cast<std::uint16_t>(2u * wave.channels);
  format.format.nAvgBytesPerSec = wave.rate * format.format.nBlockAlign;
  format.format.wBitsPerSample = 16;
  ChunkInfo riff;
  ChunkInfo data;
  std::uint32_t rc = writer.CreateRiff(riff, kWave);
  if (rc == kNoError) rc = WriteFormatChunk(writer, format);
  if (rc == kNoError) rc = writer.CreateChunk(data, kData);
  if (rc == kNoError) rc = WriteSamples(writer, wave.samples);
  if (rc == kNoError) rc = writer.Ascend(data);
  if (rc == kNoError && !wave.markers.empty()) rc = WriteCueChunk(writer, wave.markers);
  if (rc == kNoError && !wave.markers.empty()) rc = WriteAdtlList(writer, wave.markers);
  if (rc == kNoError) rc = writer.Ascend(riff);
  return rc;
}

std::vector<std::uint8_t> Pcm16WaveBytes(const Pcm16Wave& wave) {
  std::vector<std::uint8_t> bytes;
  auto writer = Writer::ToMemory(bytes);
  if (WritePcm16Wave(*writer, wave) != kNoError || !writer->Close()) bytes.clear();
  return bytes;
}

bool SavePcm16Wave(const std::string& path, const Pcm16Wave& wave) {
  std::uint32_t error = kNoError;
  auto writer = Writer::Create(path, error);
  if (!writer) return false;
  const bool ok = WritePcm16Wave(*writer, wave) == kNoError;
  if (writer->Close() && ok) return true;
  writer.reset();
  std::error_code ec;
  std::filesystem::remove(path, ec);  // never a partial file
  return false;
}

}  // namespace velkin::riff
