// Scoring coded clips where it counts: at each clip's own rate. A decoded region is brought back
// to that rate by our converter and compared with the clip as prepared at that rate, so that an
// image at a low rate pays for the band it loses as well as for its coding.
//
// A judge is made once per image rate, for all clips. It runs the clips at that rate, uncoded,
// through the same round trip, finds how each lies against the clip at its own rate (to a fraction
// of a sample, and drifting: quality.h), and moves its copy of each reference there: every coded
// version at that rate then lies where the uncoded one does, apart from the whole samples a region
// can start early, which are found at the image's rate first (regions.h).
//
// The clips of one own rate travel together: one track at the image's rate, the clips apart by
// silence longer than the converter's filter reaches, converted in one run. The converter works
// out its filter afresh for every run, which for a short clip costs more than the conversion; and
// since every candidate's track has the very same layout, the converter maps its time exactly as
// it mapped the uncoded track's.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sets/clips.h"
#include "sets/quality.h"

namespace velkin::sets {

// The memory a judgement works in, kept from one candidate to the next by whoever judges many:
// a fresh 90 s track each time costs the system more in zeroed pages than the copy costs.
struct JudgeScratch {
  std::vector<std::int16_t> track;
  std::vector<std::vector<std::int16_t>> converted;
};

class RateJudge {
 public:
  // `at_rate[i]`: clip i at `rate`, as joined into the image. False, with the reason, when the
  // converter cannot bring them back.
  bool Make(const std::vector<LoadedClip>& clips, const std::vector<std::vector<std::int16_t>>& at_rate,
            std::uint32_t rate, std::string& error);

  // The scores of the clips' decoded regions (at the image's rate), each already moved back by the
  // whole samples it starts early (AlignedRegion) and as long as its clip there.
  std::vector<Quality> Judge(const std::vector<std::vector<std::int16_t>>& regions, std::string& error,
                             JudgeScratch* scratch = nullptr) const;

  // Each clip at this rate with no coding at all: the best any image at this rate can score.
  const std::vector<Quality>& uncoded() const { return uncoded_; }
  // How each clip's round trip lies against the clip at its own rate.
  const std::vector<DelayLine>& delays() const { return delays_; }

 private:
  struct Place {
    std::size_t group = 0;                // its track
    std::size_t at = 0;                   // where it starts in the track, at the image's rate
    std::size_t length = 0;               // its samples there
    std::size_t out = 0;                  // where its stretch of the converted track starts
    std::vector<std::int16_t> reference;  // at its own rate, moved to where the round trip lies
    std::size_t from = 0, to = 0;         // the part of the stretch that is compared
  };
  struct Track {
    std::uint32_t ownRate = 0;
    std::size_t length = 0;  // samples at the image's rate
  };
  // The clips laid out on their tracks and converted.
  bool Convert(const std::vector<std::vector<std::int16_t>>& clips, JudgeScratch& scratch, std::string& error) const;

  std::uint32_t rate_ = 0;
  std::vector<Track> tracks_;
  std::vector<Place> places_;
  std::vector<Quality> uncoded_;
  std::vector<DelayLine> delays_;
};

}  // namespace velkin::sets
