// The seam between the encoder front end, shared by TARPEL and VOSSIK, and a library's own block coding.
//
// How a coding stage plugs in:
//   1. Derive from CodingStage. CodeSegment() codes the samples of one segment in the library's block
//      format; EndStream() writes the library's end-of-stream bytes.
//   2. The library's export builds an EncoderCall from its eight arguments and returns
//      RunEncoder(CodeFormat{escape byte, format byte}, stage, call) (encoder_entry.h).
// Everything else exists once, in the front end: argument checks and the comma cut, output naming, the
// WAV chunk walk (fmt, data, cue, LIST/adtl with labl and ltxt), the sorted events and the segments
// between them, the code-file header (rate code, timer values), the region marker before every segment
// after the first, the 100 % report at the end of every segment, the first-stage silence scan and the
// silence record, read and write errors, and leaving both outputs empty whenever the call fails.
//
// Inside CodeSegment() a stage works only through the EncodingSession: it reads a block (ReadBlock leaves
// the input where the read began), runs ScanSilence() on the samples read, either skips a leading silent
// run (SkipSilence writes the record and the preview zeros and moves the input) or decides its block
// length by its own rule, writes the block record (WriteCode) and the preview samples (WritePreview),
// moves the input by the samples the block consumed (Advance) and calls ReportBlock(). Read and write
// errors are remembered by the session: the stage may keep going or stop early (ok() turns false); the
// front end fails the call in either case. A stage never throws; the front end would turn an exception
// into a failed call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velkin::encoder {

// What tells the two code formats apart inside the shared framing.
struct CodeFormat {
  std::uint8_t escape_byte;  // first byte of every escape record: 0x00 for TARPEL, 0x01 for VOSSIK
  std::uint8_t format_byte;  // fifth header byte: 0x5A for TARPEL, 0x54 for VOSSIK
};

// Samples are counted from the first sample of the data chunk.
struct Segment {
  std::uint32_t index;  // k, counted from 0
  std::uint32_t start;  // first sample: the previous boundary (0 for the first segment)
  std::uint32_t end;    // boundary k, not included; it can lie below `start` (then there is nothing to code)
};

// Outcome of the first-stage silence scan over the samples of one block.
struct SilenceScan {
  enum class Kind {
    kNone,        // no cut: the block may use all the samples scanned
    kLeadingRun,  // the block begins with `run` silent samples: skip them with SkipSilence(run)
    kInnerRun,    // a silent run of `run` samples ends at sample `end`: the stage's own rule cuts the block
  };
  Kind kind = Kind::kNone;
  std::uint32_t run = 0;  // K, more than 9 for a run
  std::uint32_t end = 0;  // j, the decision point at which an inner run ended (kInnerRun only)
};

// Offset-binary silence: a signed 16-bit sample with bit 15 inverted (u = s + 32768).
inline constexpr std::uint16_t kOffsetBinaryZero = 0x8000;

// The front end's services to a coding stage, valid during one encoder call.
class EncodingSession {
 public:
  virtual ~EncodingSession() = default;

  virtual const CodeFormat& format() const = 0;
  // The silence threshold A after raising (at least 4).
  virtual std::uint32_t silence_threshold() const = 0;

  // Input. Fills all of `block` with offset-binary silence, then reads up to `count` samples (at most
  // block.size()) from the current input position into its front, in offset-binary form, and puts the
  // input back where the read began. Returns the number of whole samples read, which is smaller than
  // `count` at the end of the data chunk, at the end of the file and after a read error: nothing past
  // the data chunk or the file is ever taken as a sample.
  virtual std::size_t ReadBlock(std::span<std::uint16_t> block, std::size_t count) = 0;
  // The same samples without the copy: up to `count` samples from the current position, valid until
  // the next ReadBlock, ViewBlock, Advance, SeekSample or SkipSilence. Nothing stands past them.
  virtual std::span<const std::uint16_t> ViewBlock(std::size_t count) = 0;
  // Moves the input forward by `samples` (after a block is coded).
  virtual void Advance(std::uint32_t samples) = 0;
  // Puts the input at sample `index` of the data chunk.
  virtual void SeekSample(std::uint32_t index) = 0;

  // First-stage silence scan over the n samples read (n at least 2), with the call's threshold.
  virtual SilenceScan ScanSilence(std::span<const std::uint16_t> samples) const = 0;
  // For a leading silent run: writes the silence record (escape byte, 0x4000 + run little-endian),
  // `run` zeros to the preview, and moves the input forward by `run`.
  virtual void SkipSilence(std::uint32_t run) = 0;

  // Output: bytes of the code file, samples of the preview file.
  virtual void WriteCode(std::span<const std::uint8_t> bytes) = 0;
  virtual void WritePreview(std::span<const std::int16_t> samples) = 0;

  // Progress after a sample block (not after a silence record): percent = (block_start + advanced) * 100
  // / segment_end, in unsigned 32-bit arithmetic as the device tools always computed it.
  virtual void ReportBlock(std::uint32_t block_start, std::uint32_t advanced, std::uint32_t segment_end) = 0;

  // False once a read or write error has happened.
  virtual bool ok() const = 0;
};

// A library's block coding.
class CodingStage {
 public:
  virtual ~CodingStage() = default;
  // Codes the samples of one segment. The front end writes the region marker before it and reports
  // 100 % after it; the input stands wherever the previous segment left it.
  virtual void CodeSegment(EncodingSession& session, const Segment& segment) = 0;
  // Writes the end of stream after the last segment.
  virtual void EndStream(EncodingSession& session) = 0;
};

}  // namespace velkin::encoder
