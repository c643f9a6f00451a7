#include "adpcm_stage.h"

#include <algorithm>
#include <array>
#include <span>

#include "formats/code_file_layout.h"

namespace velkin::adpcm4 {

using encoder::SilenceScan;

std::size_t LengthBeforeSilence(std::uint32_t end, std::uint32_t run) {
  const std::int64_t before = std::int64_t{end} - std::int64_t{run};
  return before > 14 ? static_cast<std::size_t>(before) : 15;
}

AdpcmStage::AdpcmStage() : search_(std::make_unique<BlockSearch>()) {}

void AdpcmStage::CodeSegment(encoder::EncodingSession& session, const encoder::Segment& segment) {
  // Every segment reads from its own start, wherever the previous one left the input.
  std::uint32_t w = segment.start;
  session.SeekSample(w);
  while (w < segment.end && session.ok()) {
    BlockBuffer u;
    const std::uint32_t remaining = segment.end - w;
    const std::size_t n = session.ReadBlock(u, std::min<std::size_t>(kBlockBufferSize, remaining));
    if (n < 2) break;

    const SilenceScan silence = session.ScanSilence(std::span<const std::uint16_t>(u.data(), n));
    if (silence.kind == SilenceScan::Kind::kLeadingRun) {
      session.SkipSilence(silence.run);
      w += silence.run;
      continue;
    }
    const std::size_t count =
        silence.kind == SilenceScan::Kind::kInnerRun ? LengthBeforeSilence(silence.end, silence.run) : n;
    const BlockChoice choice = search_->Choose(u, count, remaining);

    EncodeBlock(u, choice.length, choice.start_index, block_);
    session.WriteCode(block_.bytes);
    session.WritePreview(block_.preview);
    const auto length = static_cast<std::uint32_t>(choice.length);
    session.Advance(length);
    session.ReportBlock(w, length, segment.end);
    w += length;
  }
}

void AdpcmStage::EndStream(encoder::EncodingSession& session) {
  static constexpr auto kEndOfStream = codefile::EscapeEnd(kVossikFormat.escape_byte);
  session.WriteCode(kEndOfStream);
}

}  // namespace velkin::adpcm4
