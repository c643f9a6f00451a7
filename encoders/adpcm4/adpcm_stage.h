// VOSSIK's coding stage: cuts each segment into ADPCM blocks of at most 255 samples, each with the
// length and starting step index the block search chooses.
#pragma once

#include <memory>

#include "adpcm_codec.h"
#include "block_search.h"
#include "encoders/common/coding_stage.h"

namespace velkin::adpcm4 {

inline constexpr encoder::CodeFormat kVossikFormat{0x01, 0x54};

class AdpcmStage final : public encoder::CodingStage {
 public:
  AdpcmStage();
  void CodeSegment(encoder::EncodingSession& session, const encoder::Segment& segment) override;
  void EndStream(encoder::EncodingSession& session) override;

 private:
  std::unique_ptr<BlockSearch> search_;
  EncodedBlock block_;
};

// Length a block may have when an inner silent run of `run` samples ends at sample `end`: the
// samples before the run, but at least 15.
std::size_t LengthBeforeSilence(std::uint32_t end, std::uint32_t run);

}  // namespace velkin::adpcm4
