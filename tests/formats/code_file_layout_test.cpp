// The shared code-file layout read back against the bytes it writes and against hand-made records at
// the edges of each record kind (the encoders' and the decoder's process tests pin the usual bytes).
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "formats/code_file_layout.h"

namespace velkin::codefile {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Kind = EscapeRecord::Kind;

TEST(CodeFileLayout, HeaderReadsBackInEachTimerForm) {
  const struct Case {
    std::uint32_t clock;
    std::uint32_t rate;
    std::size_t timer_length;
    std::uint8_t rate_code;
  } cases[] = {{12000000, 16000, 4, 3}, {2000000000, 6000, 2, 0}, {3580000, 16000, 8, 3}, {12000000, 4000, 4, 15}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.clock << " Hz, " << c.rate << " Hz");
    const auto written = Header(0x123456, c.rate, c.clock, 0x5A);
    ASSERT_TRUE(written);
    ASSERT_EQ(written->size(), kHeaderFixedBytes + c.timer_length + 1);
    Bytes file = *written;
    file.insert(file.end(), kAllOnesEnd.begin(), kAllOnesEnd.end());
    const auto read = ReadHeader(file, c.timer_length);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->declared_samples, 0x123456u);
    EXPECT_EQ(read->rate_code, c.rate_code);
    EXPECT_EQ(read->format_byte, 0x5A);
    EXPECT_EQ(read->stream_start, written->size());
    EXPECT_EQ(RateOf(*read, c.clock), c.rate);
    // Cut before its end mark, it is no header.
    EXPECT_FALSE(ReadHeader(Bytes(written->begin(), written->end() - 1), c.timer_length));
  }
  EXPECT_FALSE(Header(100, 0, 12000000, 0x5A));
  EXPECT_EQ(RateCode(192000), 9);
  EXPECT_EQ(RateCode(44099), kOtherRateCode);
}

// The timer of a header written for a clock tells a range that holds that clock and no clock
// outside it: one below and one at its end write other timer values.
TEST(CodeFileLayout, TheTimerTellsTheClockAsARange) {
  const auto timer_of = [](std::uint64_t clock, std::uint32_t rate) {
    const auto header = Header(1, rate, static_cast<std::uint32_t>(clock), 0x54);
    return Bytes(header->begin() + kHeaderFixedBytes, header->end() - 1);
  };
  const auto console = ClockRangeOf(timer_of(12000000, 16000), 16000);
  ASSERT_TRUE(console);
  EXPECT_EQ(console->low, 11968000u);
  EXPECT_EQ(console->high, 12032000u);
  for (const std::uint32_t clock : {1000000u, 3579545u, 8000000u, 12000000u, 24000000u, 48000000u, 100000000u}) {
    for (const std::uint32_t rate : kRates) {
      SCOPED_TRACE(testing::Message() << clock << " Hz at " << rate << " Hz");
      const Bytes timer = timer_of(clock, rate);
      const auto range = ClockRangeOf(timer, rate);
      ASSERT_TRUE(range);
      ASSERT_NE(range->high, 0u);
      EXPECT_LE(range->low, clock);
      EXPECT_GT(range->high, clock);
      EXPECT_EQ(timer_of(range->low, rate), timer);
      EXPECT_EQ(timer_of(range->high - 1, rate), timer);
      EXPECT_NE(timer_of(range->low - 1, rate), timer);
      EXPECT_NE(timer_of(range->high, rate), timer);
    }
  }
  // The four-reload layout is made for one clock only.
  const auto four = ClockRangeOf(timer_of(kFourReloadClock, 8000), 8000);
  ASSERT_TRUE(four);
  EXPECT_EQ(four->low, kFourReloadClock);
  EXPECT_EQ(four->high, kFourReloadClock + 1);
  // No prescaler fitted: only a lower bound.
  const auto fast = ClockRangeOf(timer_of(2000000000, 6000), 6000);
  ASSERT_TRUE(fast);
  EXPECT_EQ(fast->low, 262144u * 6000);
  EXPECT_EQ(fast->high, 0u);
  // A prescaler index no clock writes, a reload that disagrees with the prescaler, no rate.
  EXPECT_FALSE(ClockRangeOf(Bytes{0xA3, 0x08, 0x45, 0xFF}, 16000));
  EXPECT_FALSE(ClockRangeOf(Bytes{0xA3, 0x00, 0x00, 0xF0}, 16000));
  EXPECT_FALSE(ClockRangeOf(Bytes{0xA3, 0x00, 0x45, 0xFF}, 0));
}

TEST(CodeFileLayout, EscapeRecordsAtTheirEdges) {
  const struct Case {
    Bytes bytes;
    bool zero_ends;
    Kind kind;
    std::size_t size;
    std::uint32_t run;
  } cases[] = {
      {{0x01, 0x01, 0x40}, true, Kind::kSilence, 3, 1},
      {{0x01, 0x00, 0x40}, true, Kind::kInvalid, 0, 0},  // a run of 0 is no record
      {{0x01, 0xFF, 0xFF}, true, Kind::kSilence, 3, 0xBFFF},
      {{0x01, 0x02, 0x41}, true, Kind::kSilence, 3, 0x102},  // type-like first byte, silence high byte
      {{0x00, 0x00, 0x00}, true, Kind::kEnd, 3, 0},
      {{0x00, 0x00, 0x00}, false, Kind::kInvalid, 0, 0},
      {{0x01, 0x03, 0x25, 0x00}, true, Kind::kInvalid, 0, 0},  // no such event type
      {{0x01, 0x01, 0x25}, true, Kind::kTruncated, 0, 0},
      {{0x01, 0x01}, true, Kind::kTruncated, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    const EscapeRecord r = ReadEscapeRecord(c.bytes, 0, c.zero_ends);
    EXPECT_EQ(r.kind, c.kind);
    EXPECT_EQ(r.size, c.size);
    EXPECT_EQ(r.run, c.run);
  }
  const EscapeRecord last_cue = ReadEscapeRecord(Bytes{0x00, 0x02, 0x3F, 0x80}, 0, false);
  EXPECT_EQ(last_cue.kind, Kind::kMarker);
  EXPECT_EQ(last_cue.size, 4u);
  EXPECT_EQ(last_cue.type, kRegionEnd);
  EXPECT_EQ(last_cue.cue, 31);
  EXPECT_EQ(last_cue.label, 0x80);
}

TEST(CodeFileLayout, WrittenRecordsReadBack) {
  EXPECT_EQ(SilenceRecord(0x00, 100), (Bytes{0x00, 0x64, 0x40}));
  EXPECT_EQ(RegionMarker(0x01, kRegionStart, 37, 0xAB), (Bytes{0x01, 0x01, 0x25, 0xAB}));  // cue 37 keeps 5 bits
  EXPECT_EQ(EscapeEnd(0x01), (std::array<std::uint8_t, 3>{0x01, 0x00, 0x00}));
  for (std::uint32_t run : {1u, 265u, 0xBFFFu}) {
    const Bytes record = SilenceRecord(0x01, run);
    EXPECT_EQ(ReadEscapeRecord(record, 0, true).run, run);
  }
}

}  // namespace
}  // namespace velkin::codefile
