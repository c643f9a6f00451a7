#include "encoder_entry.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "code_framing.h"
#include "entry_args.h"
#include "file_io.h"
#include "formats/le_bytes.h"
#include "silence_scan.h"
#include "wav_walk.h"

namespace velkin::encoder {
namespace {

constexpr std::uint32_t kMinimumThreshold = 4;
constexpr std::int32_t kProgressSource = 1;
constexpr std::int32_t kSegmentDone = 100;

std::string_view TextOf(const char* text) {
  return text ? std::string_view(text) : std::string_view();
}

// The samples of the data chunk, read from the input file. Reads stop at the end of the data chunk and
// at the end of the file: whatever follows the data (other chunks) is never taken for samples.
class SampleInput {
 public:
  SampleInput(InputFile& file, std::uint64_t data_offset, std::uint32_t data_size)
      : file_(file), begin_(data_offset), end_(std::min<std::uint64_t>(data_offset + data_size, file.size())) {}

  // Up to `count` samples from the current position, offset binary, straight from the decoded
  // window; valid until the next call. Fewer at the end of the data chunk, of the file or after a
  // read error.
  std::span<const std::uint16_t> View(std::size_t count) {
    const std::uint64_t at = begin_ + 2 * position_;
    if (at >= end_ || count == 0) return {};
    count = static_cast<std::size_t>(std::min<std::uint64_t>(count, (end_ - at) / 2));
    if (position_ < window_start_ || position_ + count > window_start_ + window_.size()) Fill(count);
    const auto skip = static_cast<std::size_t>(position_ - window_start_);
    return std::span<const std::uint16_t>(window_)
        .subspan(std::min(skip, window_.size()))
        .first(std::min(count, window_.size() - std::min(skip, window_.size())));
  }

  std::size_t Read(std::span<std::uint16_t> block, std::size_t count) {
    std::fill(block.begin(), block.end(), kOffsetBinaryZero);
    const std::span<const std::uint16_t> samples = View(std::min(count, block.size()));
    std::copy(samples.begin(), samples.end(), block.begin());
    return samples.size();
  }

  void Advance(std::uint32_t samples) { position_ += samples; }
  void Seek(std::uint32_t index) { position_ = index; }
  std::uint64_t position() const { return position_; }

 private:
  InputFile& file_;
  const std::uint64_t begin_;
  const std::uint64_t end_;
  // Decodes a window of samples from the current position on: at least `count`, usually many
  // blocks' worth, so that every sample is read and converted about once although blocks step
  // back after each read.
  void Fill(std::size_t count) {
    const std::uint64_t at = begin_ + 2 * position_;
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(std::max(count, kWindowSamples), (end_ - at) / 2));
    bytes_.resize(want * 2);
    const std::size_t got = file_.ReadAt(at, bytes_) / 2;
    window_.resize(got);
    window_start_ = position_;
    // Plain pointers: this loop sees every sample of the file and must stay quick in debug builds too.
    const std::uint8_t* in = bytes_.data();
    std::uint16_t* out = window_.data();
    for (std::size_t i = 0; i < got; ++i) {
      out[i] = static_cast<std::uint16_t>(bytes::LoadU16(in + 2 * i) ^ 0x8000u);
    }
  }

  static constexpr std::size_t kWindowSamples = 256 * 1024;
  std::uint64_t position_ = 0;  // in samples from the start of the data chunk
  std::vector<std::uint8_t> bytes_;
  std::vector<std::uint16_t> window_;
  std::uint64_t window_start_ = 0;
};

class Session final : public EncodingSession {
 public:
  Session(const CodeFormat& format, std::uint32_t threshold, InputFile& input, SampleInput& samples, OutputFile& code,
          OutputFile& preview, EncoderProgressCallback progress, std::intptr_t user)
      : format_(format),
        threshold_(threshold),
        input_(input),
        samples_(samples),
        code_(code),
        preview_(preview),
        progress_(progress),
        user_(user) {}

  const CodeFormat& format() const override { return format_; }
  std::uint32_t silence_threshold() const override { return threshold_; }

  std::size_t ReadBlock(std::span<std::uint16_t> block, std::size_t count) override {
    return samples_.Read(block, count);
  }
  std::span<const std::uint16_t> ViewBlock(std::size_t count) override {
    view_ = samples_.View(count);
    view_at_ = samples_.position();
    return view_;
  }
  void Advance(std::uint32_t samples) override { samples_.Advance(samples); }
  void SeekSample(std::uint32_t index) override { samples_.Seek(index); }

  SilenceScan ScanSilence(std::span<const std::uint16_t> samples) const override {
    // Samples the last scan of a view found free of runs are not looked at again (see
    // ScanFirstStageSilenceFrom). Only views qualify: they are the file's samples as they stand,
    // where a stage's own buffer could have been changed since it was read.
    const bool viewed = samples.data() == view_.data() && samples.size() == view_.size();
    std::size_t from = 0;
    if (viewed && view_at_ >= clean_from_ && view_at_ < clean_to_) from = clean_to_ - view_at_;
    const SilenceScan scan = ScanFirstStageSilenceFrom(samples, threshold_, from);
    if (viewed) {
      clean_from_ = view_at_;
      clean_to_ = view_at_ + SilenceScanResumePoint(samples, threshold_, scan);
    }
    return scan;
  }

  void SkipSilence(std::uint32_t run) override {
    WriteCode(codefile::SilenceRecord(format_.escape_byte, run));
    static constexpr std::array<std::uint8_t, 512> kZeros{};
    for (std::uint64_t left = 2ull * run; left > 0;) {
      const auto part = static_cast<std::size_t>(std::min<std::uint64_t>(left, kZeros.size()));
      preview_.Write(std::span(kZeros).first(part));
      left -= part;
    }
    samples_.Advance(run);
  }

  void WriteCode(std::span<const std::uint8_t> bytes) override { code_.Write(bytes); }

  void WritePreview(std::span<const std::int16_t> samples) override {
    preview_bytes_.resize(2 * samples.size());
    std::uint8_t* out = preview_bytes_.data();
    for (std::size_t i = 0; i < samples.size(); ++i) {
      bytes::StoreU16(out + 2 * i, static_cast<std::uint16_t>(samples[i]));
    }
    preview_.Write(preview_bytes_);
  }

  void ReportBlock(std::uint32_t block_start, std::uint32_t advanced, std::uint32_t segment_end) override {
    // Unsigned 32-bit on purpose: the product wraps for positions past about 43 million samples,
    // and the device tools have always reported it that way.
    if (segment_end == 0) return;
    Report(static_cast<std::int32_t>((block_start + advanced) * 100u / segment_end));
  }

  void Report(std::int32_t percent) const {
    if (progress_) progress_(kProgressSource, percent, user_);
  }

  bool ok() const override { return !input_.failed() && !code_.failed() && !preview_.failed(); }

 private:
  const CodeFormat format_;
  const std::uint32_t threshold_;
  InputFile& input_;
  SampleInput& samples_;
  OutputFile& code_;
  OutputFile& preview_;
  const EncoderProgressCallback progress_;
  const std::intptr_t user_;
  std::vector<std::uint8_t> preview_bytes_;
  // The last view handed out, where it starts, and the samples [clean_from_, clean_to_) its
  // scan found free of runs and ending loud.
  std::span<const std::uint16_t> view_;
  std::uint64_t view_at_ = 0;
  mutable std::uint64_t clean_from_ = 0;
  mutable std::uint64_t clean_to_ = 0;
};

// Empties both outputs when the call ends in anything but success, also when an exception leaves it.
class OutputsGuard {
 public:
  OutputsGuard(OutputFile& code, OutputFile& preview) : code_(code), preview_(preview) {}
  OutputsGuard(const OutputsGuard&) = delete;
  OutputsGuard& operator=(const OutputsGuard&) = delete;
  ~OutputsGuard() {
    if (committed_) return;
    code_.Discard();
    preview_.Discard();
  }
  void Commit() { committed_ = true; }

 private:
  OutputFile& code_;
  OutputFile& preview_;
  bool committed_ = false;
};

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  return std::filesystem::equivalent(std::filesystem::path(a), std::filesystem::path(b), ec) && !ec;
}

std::int32_t Encode(const CodeFormat& format, CodingStage& stage, const EncoderCall& call) {
  const std::string input_path = CutInputPath(TextOf(call.input_path));
  if (TextOf(call.reserved_text).empty() || input_path.empty() || TextOf(call.clock).empty()) return kResultFailed;
  const std::uint32_t threshold = std::max(call.silence_threshold, kMinimumThreshold);
  const auto clock = static_cast<std::uint32_t>(ParseLeadingDecimal(TextOf(call.clock)));
  const std::string code_path = CodeFilePath(TextOf(call.output_path), input_path);
  const std::string preview_path = PreviewFilePath(code_path);

  InputFile input;
  if (!input.Open(input_path)) return kResultFailed;
  // Creating an output truncates it: never when it is the input itself.
  if (SameFile(input_path, code_path) || SameFile(input_path, preview_path)) return kResultFailed;

  OutputFile code;
  OutputFile preview;
  OutputsGuard guard(code, preview);
  if (!code.Create(code_path) || !preview.Create(preview_path)) return kResultFailed;

  WavLayout wav = WalkWav(input);
  if (wav.status != WalkStatus::kOk) return kResultFailed;
  if (!wav.has_format || wav.bits_per_sample != 16) return kResultNot16Bit;

  const std::uint32_t sample_count = wav.data_size / 2;
  const auto header = codefile::Header(sample_count, wav.sample_rate, clock, format.format_byte);
  if (!header) return kResultFailed;
  code.Write(*header);

  const std::vector<RegionEvent> events = SortedRegionEvents(wav.cue_positions, wav.region_lengths);
  SampleInput samples(input, wav.data_offset, wav.data_size);
  Session session(format, threshold, input, samples, code, preview, call.progress, call.user);

  std::uint32_t start = 0;
  for (std::size_t k = 0; k <= events.size(); ++k) {
    if (k > 0) {
      const RegionEvent& event = events[k - 1];
      code.Write(
          codefile::RegionMarker(format.escape_byte, event.type, event.cue_index,
                                 static_cast<std::uint8_t>(static_cast<std::uint32_t>(wav.labels[event.cue_index]))));
    }
    const std::uint32_t end = k < events.size() ? events[k].position : sample_count;
    stage.CodeSegment(session, Segment{static_cast<std::uint32_t>(k), start, end});
    if (!session.ok()) return kResultFailed;
    session.Report(kSegmentDone);
    start = end;
  }
  stage.EndStream(session);
  if (!session.ok()) return kResultFailed;
  if (!preview.Finish() || !code.Finish()) return kResultFailed;
  guard.Commit();
  return kResultWritten;
}

}  // namespace

std::int32_t RunEncoder(const CodeFormat& format, CodingStage& stage, const EncoderCall& call) noexcept {
  try {
    return Encode(format, stage, call);
  } catch (...) {
    // Out of memory or another failure inside the library: the guard has emptied the outputs already.
    return kResultFailed;
  }
}

}  // namespace velkin::encoder
