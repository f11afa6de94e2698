// Media time arithmetic and comparison at their edges: rounding and overflow,
// epochs, the non-numeric kinds, and exact comparison where doubles would tie.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "CoreMedia/CMTime.h"

namespace {

CMTime withEpoch(CMTime t, CMTimeEpoch epoch) {
  t.epoch = epoch;
  return t;
}

TEST(CMTime, FromSecondsKeepsThePreferredTimescaleUnlessTheValueOverflows) {
  const struct {
    const char* name;
    double seconds;
    CMTimeScale preferred;
    CMTimeValue value;
    CMTimeScale timescale;
    bool rounded;
  } cases[] = {{"exact", 1.5, 600, 900, 600, false},
               {"roundsToNearest", 0.6, 1, 1, 1, true},
               {"badTimescaleCountsAsOne", 2.0, 0, 2, 1, false},
               // 1e10 s in nanoseconds overflows 64 bits; half the timescale fits.
               {"halvesTimescale", 1e10, 1'000'000'000, 5'000'000'000'000'000'000, 500'000'000, false}};
  for (const auto& c : cases) {
    const CMTime t = CMTimeMakeWithSeconds(c.seconds, c.preferred);
    EXPECT_TRUE(CMTIME_IS_NUMERIC(t)) << c.name;
    EXPECT_EQ(t.value, c.value) << c.name;
    EXPECT_EQ(t.timescale, c.timescale) << c.name;
    EXPECT_EQ((t.flags & kCMTimeFlags_HasBeenRounded) != 0, c.rounded) << c.name;
  }
}

// A sum is compared with CMTimeCompare and by kind, and does not depend on the order of its terms.
TEST(CMTime, AdditionIsExactOrGivesTheRightKind) {
  const struct {
    const char* name;
    CMTime lhs, rhs, expected;
  } cases[] = {
      {"leastCommonMultiple", CMTimeMake(1, 2), CMTimeMake(1, 3), CMTimeMake(5, 6)},
      {"processingRangeEnd", CMTimeMakeWithSeconds(0.05, kCMTimeMaxTimescale), CMTimeMakeWithSeconds(0.2, 600),
       CMTimeMake(1, 4)},
      {"differentEpochsAreInvalid", withEpoch(CMTimeMake(1, 1), 1), CMTimeMake(1, 1), kCMTimeInvalid},
      {"oppositeInfinities", kCMTimePositiveInfinity, kCMTimeNegativeInfinity, kCMTimeInvalid},
      {"infinityAbsorbs", kCMTimePositiveInfinity, CMTimeMake(-5, 1), kCMTimePositiveInfinity},
      {"overflowSaturates", CMTimeMake(INT64_MAX, 1), CMTimeMake(1, 1), kCMTimePositiveInfinity}};
  for (const auto& c : cases) {
    const CMTime sum = CMTimeAdd(c.lhs, c.rhs);
    EXPECT_EQ(CMTimeCompare(sum, c.expected), 0) << c.name << ": " << sum.value << "/" << sum.timescale;
    EXPECT_EQ(CMTIME_IS_VALID(sum), CMTIME_IS_VALID(c.expected)) << c.name;
    EXPECT_EQ(CMTIME_IS_NUMERIC(sum), CMTIME_IS_NUMERIC(c.expected)) << c.name;
    EXPECT_EQ(CMTimeAdd(c.rhs, c.lhs).flags & ~kCMTimeFlags_HasBeenRounded, sum.flags & ~kCMTimeFlags_HasBeenRounded)
        << c.name;
  }
}

TEST(CMTime, ComparesBothWays) {
  const struct {
    const char* name;
    CMTime lhs, rhs;
    int expected;
  } cases[] = {
      {"equalAcrossTimescales", CMTimeMake(1, 2), CMTimeMake(500, 1000), 0},
      {"exactWhereDoublesWouldTie", CMTimeMake(INT64_MAX, 1'000'000'000), CMTimeMake(INT64_MAX - 1, 1'000'000'000), 1},
      {"laterEpochIsGreater", withEpoch(CMTimeMake(0, 1), 2), CMTimeMake(100, 1), 1},
      {"invalidAboveInfinity", kCMTimeInvalid, kCMTimePositiveInfinity, 1},
      {"indefiniteAboveNumbers", kCMTimeIndefinite, CMTimeMake(INT64_MAX, 1), 1},
      {"negativeInfinityBelowAll", kCMTimeNegativeInfinity, CMTimeMake(INT64_MIN, 1), -1}};
  for (const auto& c : cases) {
    EXPECT_EQ(CMTimeCompare(c.lhs, c.rhs), c.expected) << c.name;
    EXPECT_EQ(CMTimeCompare(c.rhs, c.lhs), -c.expected) << c.name;
  }
}

}  // namespace
