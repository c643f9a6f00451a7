// The walk over a WAV file's RIFF chunks: format, data chunk, cue points, labels and region lengths.
// It is not riff/'s reader on purpose: the encoders walk a flat run of chunk headers by the player tools'
// own rules (an "adtl" standing alone counts only after a LIST and is bounded by that LIST's size, the cue
// chunk's end is checked against the RIFF size, the last "data" chunk wins), which a nesting chunk reader
// would silently correct; the code files the encoders make depend on exactly these rules.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "file_io.h"

namespace velkin::encoder {

inline constexpr std::size_t kMaxCuePoints = 256;
inline constexpr std::size_t kMaxRegionLengths = 256;
inline constexpr std::size_t kLabelCount = 256;

enum class WalkStatus {
  kOk,
  kNotWave,          // not a RIFF file, or a RIFF form other than "WAVE"
  kAdtlWithoutList,  // an "adtl" list met without a preceding LIST of non-zero size
  kReadError,
};

struct WavLayout {
  WalkStatus status = WalkStatus::kOk;
  bool has_format = false;
  std::uint32_t sample_rate = 0;
  std::uint16_t bits_per_sample = 0;
  std::uint64_t data_offset = 0;  // body of the last "data" chunk; 0 and size 0 when there is none
  std::uint32_t data_size = 0;
  std::vector<std::uint32_t> cue_positions;        // in the cue chunk's order, at most kMaxCuePoints
  std::vector<std::uint32_t> region_lengths;       // ltxt sample lengths in the order found, at most kMaxRegionLengths
  std::array<std::int32_t, kLabelCount> labels{};  // label value of cue identifier i + 1
};

WavLayout WalkWav(InputFile& in);

}  // namespace velkin::encoder
