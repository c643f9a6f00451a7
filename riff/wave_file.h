// WAVE files as a whole: the one walk to a file's format and data chunks that every WAV reader of
// the tree starts with, its markers (cue points with their labels and region lengths), and the one
// 16-bit PCM WAV writer.
//
// The walk is the chunk search of Reader (forward, inside the RIFF form, over pad bytes); it
// reports which step failed and leaves the messages to each caller, whose wording differs. The
// encoders do not use it: their own walk keeps rules of its own (encoders/common/wav_walk.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "riff/riff_file.h"
#include "riff/wave_format.h"

namespace velkin::riff {

inline constexpr FourCC kCue = MakeFourCC("cue ");
inline constexpr FourCC kAdtl = MakeFourCC("adtl");
inline constexpr FourCC kLabl = MakeFourCC("labl");
inline constexpr FourCC kLtxt = MakeFourCC("ltxt");

// The steps of the walk, in order; a walk stops at the first that fails.
enum class WaveStep {
  kFound,         // every chunk was found; the reader stands at the first byte of the data
  kNoWaveRiff,    // no RIFF chunk of form "WAVE" from the reader's position on
  kNoFormat,      // no "fmt " chunk inside it
  kAscendFailed,  // leaving the "fmt " chunk failed
  kNoData,        // no "data" chunk after the "fmt " chunk
};

struct WaveChunks {
  ChunkInfo riff;
  ChunkInfo format;             // the "fmt " chunk as found
  FormatChunk record;           // its record (at most 18 bytes read) and extension
  std::size_t recordBytes = 0;  // record bytes the file held
  ChunkInfo data;               // the "data" chunk as declared
  std::uint64_t dataHeld = 0;   // bytes of it the file really holds (the declared size cut at its end)

  // True when the record holds every byte the chunk promised, up to the record's 18. A short
  // record does not stop the walk: some callers refuse it, others go on with zeros.
  bool RecordComplete() const;
};

// Walks from the reader's position: the RIFF form "WAVE", its "fmt " chunk (record and extension
// read), out of that chunk, and into the "data" chunk after it. The fields of the steps that
// succeeded are filled either way.
WaveStep FindWaveChunks(Reader& reader, WaveChunks& out);

// A marker of a WAVE file: a cue point with the sample length of its "ltxt" record and the text of
// its "labl" record, joined by cue identifier.
struct Marker {
  std::uint32_t id = 0;        // cue identifier
  std::uint32_t position = 0;  // sample frame the marker stands at
  std::uint32_t length = 0;    // frames of the region it starts; 0: a point, or no "ltxt"
  std::string label;           // empty: no "labl"
  bool operator==(const Marker&) const = default;
};

// Reads the markers of the RIFF form `riff` (as FindWaveChunks found it): the cue points of its
// "cue " chunk in their order, each with the "ltxt" length and the "labl" text (up to its first
// zero byte) that name its identifier in any LIST of form "adtl". Cue records, lengths and labels
// the file does not really hold are left out: a declared count alone allocates nothing. The
// reader's position is changed.
std::vector<Marker> ReadWaveMarkers(Reader& reader, const ChunkInfo& riff);

// A 16-bit PCM WAV file to write: interleaved samples of `channels` channels, and its markers.
struct Pcm16Wave {
  std::uint32_t rate = 0;
  std::uint16_t channels = 1;
  std::span<const std::int16_t> samples = {};
  std::span<const Marker> markers = {};
};

// Writes RIFF "WAVE": a 16-byte PCM "fmt " chunk, the "data" chunk, and when there are markers a
// "cue " chunk (each point's position also as its sample offset into "data") and a LIST "adtl" with,
// in cue order, one "ltxt" per marker (purpose "rgn "; written for every marker as soon as one has
// a length, since the encoders pair "ltxt" records with cue points by their order) and one "labl"
// per marker that has a label. The markers follow the data, where audio editors put them; the
// encoders' own walk reads them there too. Returns a Writer error code.
std::uint32_t WritePcm16Wave(Writer& writer, const Pcm16Wave& wave);

// The same file as bytes in memory.
std::vector<std::uint8_t> Pcm16WaveBytes(const Pcm16Wave& wave);

// The same file on disk; false (and no file left behind) when it could not be written whole.
bool SavePcm16Wave(const std::string& path, const Pcm16Wave& wave);

}  // namespace velkin::riff
