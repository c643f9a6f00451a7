// Region markers paired into regions, as the encoders write them: sorted by position, so the
// markers of overlapping regions interleave and a region of no length may show its end first.
#include <gtest/gtest.h>

#include <vector>

#include "formats/code_regions.h"

namespace velkin::decode {
namespace {

RegionMark Start(std::uint8_t cue, std::uint8_t label, std::uint64_t at) {
  return {1, cue, label, at, 0};
}
RegionMark End(std::uint8_t cue, std::uint8_t label, std::uint64_t at) {
  return {2, cue, label, at, 0};
}

bool operator==(const CodeRegion& a, const CodeRegion& b) {
  return a.cue == b.cue && a.label == b.label && a.begin == b.begin && a.end == b.end;
}

TEST(CodeRegions, MarkersPairIntoRegions) {
  const std::vector<RegionMark> marks = {
      Start(0, 12, 0),  Start(1, 5, 100), End(0, 12, 300),  End(1, 5, 400),  // overlapping
      End(2, 0, 500),   Start(2, 0, 500),                                    // no length, end first
      Start(0, 1, 600), End(0, 1, 700),   Start(0, 1, 700), End(0, 1, 800),  // a cue index met again
      Start(3, 9, 900), End(4, 9, 950),                                      // no partners
  };
  const CodeRegions got = PairRegions(marks);
  const std::vector<CodeRegion> want = {
      {0, 12, 0, 300}, {1, 5, 100, 400}, {2, 0, 500, 500}, {0, 1, 600, 700}, {0, 1, 700, 800}};
  ASSERT_EQ(got.regions.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) EXPECT_TRUE(got.regions[i] == want[i]) << i;
  ASSERT_EQ(got.unpaired.size(), 2u);
  EXPECT_EQ(got.unpaired[0].at_sample, 900u);
  EXPECT_EQ(got.unpaired[0].type, 1);
  EXPECT_EQ(got.unpaired[1].at_sample, 950u);
  EXPECT_EQ(got.unpaired[1].type, 2);
}

TEST(CodeRegions, AnEndPairsOnlyWithItsOwnLabel) {
  // Same cue index (the 1st and the 33rd cue point), different labels.
  const CodeRegions got =
      PairRegions(std::vector<RegionMark>{Start(0, 1, 0), Start(0, 2, 10), End(0, 2, 20), End(0, 1, 30)});
  ASSERT_EQ(got.regions.size(), 2u);
  EXPECT_TRUE(got.regions[0] == (CodeRegion{0, 1, 0, 30}));
  EXPECT_TRUE(got.regions[1] == (CodeRegion{0, 2, 10, 20}));
  EXPECT_TRUE(got.unpaired.empty());
}

}  // namespace
}  // namespace velkin::decode
