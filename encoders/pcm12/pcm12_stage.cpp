#include "pcm12_stage.h"

#include <algorithm>
#include <array>
#include <span>

#include "formats/code_file_layout.h"
#include "pcm12_block.h"

namespace velkin::pcm12 {

using encoder::SilenceScan;

Pcm12Stage::Pcm12Stage() : preview_(kBlockSamples) {}

void Pcm12Stage::CodeSegment(encoder::EncodingSession& session, const encoder::Segment& segment) {
  // The input is not put at the segment's start: it stays where the previous segment left it. A single
  // sample left over at a segment's end is therefore read again as the first sample of the next one.
  std::uint32_t w = segment.start;
  while (w < segment.end && session.ok()) {
    const std::size_t want = std::min<std::size_t>(kBlockSamples, segment.end - w);
    // Blocks mostly end well before their 16384 samples, and the next one reads from there again:
    // the samples are looked at in place rather than copied each time.
    const std::span<const std::uint16_t> samples = session.ViewBlock(want);
    const auto n = static_cast<std::uint32_t>(samples.size());
    if (n < 2) break;

    const SilenceScan silence = session.ScanSilence(samples);
    if (silence.kind == SilenceScan::Kind::kLeadingRun) {
      session.SkipSilence(silence.run);
      w += silence.run;
      continue;
    }
    const std::uint32_t j_limit =
        silence.kind == SilenceScan::Kind::kInnerRun ? LengthBeforeSilence(silence.end, silence.run, n) : n;
    const BlockShape shape = ScanLowLevel(samples.first(j_limit));
    const std::uint32_t length = NearZeroEnd(samples, n, j_limit, shape);
    const auto coded = samples.first(length);

    BlockRecord(coded, shape.mode, record_);
    session.WriteCode(record_);
    std::transform(coded.begin(), coded.end(), preview_.begin(),
                   [](std::uint16_t u) { return static_cast<std::int16_t>(u ^ 0x8000u); });
    session.WritePreview(std::span<const std::int16_t>(preview_.data(), length));
    session.Advance(length);
    session.ReportBlock(w, length, segment.end);
    w += length;
  }
}

void Pcm12Stage::EndStream(encoder::EncodingSession& session) {
  session.WriteCode(codefile::kAllOnesEnd);
}

}  // namespace velkin::pcm12
