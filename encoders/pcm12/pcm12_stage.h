// TARPEL's coding stage: cuts each segment into 12-bit PCM blocks of up to 16384 samples.
#pragma once

#include <cstdint>
#include <vector>

#include "encoders/common/coding_stage.h"

namespace velkin::pcm12 {

inline constexpr encoder::CodeFormat kTarpelFormat{0x00, 0x5A};

class Pcm12Stage final : public encoder::CodingStage {
 public:
  Pcm12Stage();
  void CodeSegment(encoder::EncodingSession& session, const encoder::Segment& segment) override;
  void EndStream(encoder::EncodingSession& session) override;

 private:
  std::vector<std::uint8_t> record_;
  std::vector<std::int16_t> preview_;
};

}  // namespace velkin::pcm12
