// Media time arithmetic and comparison at their edges: rounding and overflow,
// epochs, the non-numeric kinds, and exact comparison where doubles would tie.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <ostream>
#include <string>

#include "CoreMedia/CMTime.h"

namespace {

CMTime withEpoch(CMTime t, CMTimeEpoch epoch) {
  t.epoch = epoch;
  return t;
}

struct FromSeconds {
  std::string name;
  double seconds;
  CMTimeScale preferred;
  CMTimeValue value;
  CMTimeScale timescale;
  bool rounded;
};

void PrintTo(const FromSeconds& c, std::ostream* os) { *os << c.name; }

class CMTimeFromSeconds : public ::testing::TestWithParam<FromSeconds> {};

TEST_P(CMTimeFromSeconds, KeepsThePreferredTimescaleUnlessTheValueOverflows) {
  const auto& c = GetParam();
  const CMTime t = CMTimeMakeWithSeconds(c.seconds, c.preferred);
  ASSERT_TRUE(CMTIME_IS_NUMERIC(t));
  EXPECT_EQ(t.value, c.value);
  EXPECT_EQ(t.timescale, c.timescale);
  EXPECT_EQ((t.flags & kCMTimeFlags_HasBeenRounded) != 0, c.rounded);
}

INSTANTIATE_TEST_SUITE_P(
    Sweep, CMTimeFromSeconds,
    ::testing::Values(FromSeconds{"exact", 1.5, 600, 900, 600, false},
                      FromSeconds{"roundsToNearest", 0.6, 1, 1, 1, true},
                      FromSeconds{"badTimescaleCountsAsOne", 2.0, 0, 2, 1, false},
                      // 1e10 s in nanoseconds overflows 64 bits; half the timescale fits.
                      FromSeconds{"halvesTimescale", 1e10, 1'000'000'000, 5'000'000'000'000'000'000, 500'000'000,
                                  false}),
    [](const auto& info) { return info.param.name; });

struct Sum {
  std::string name;
  CMTime lhs;
  CMTime rhs;
  CMTime expected;  // compared with CMTimeCompare, plus kind
};

void PrintTo(const Sum& c, std::ostream* os) { *os << c.name; }

class CMTimeAddition : public ::testing::TestWithParam<Sum> {};

TEST_P(CMTimeAddition, AddsExactlyOrGivesTheRightKind) {
  const auto& c = GetParam();
  const CMTime sum = CMTimeAdd(c.lhs, c.rhs);
  EXPECT_EQ(CMTimeCompare(sum, c.expected), 0) << sum.value << "/" << sum.timescale << " flags " << sum.flags;
  EXPECT_EQ(CMTIME_IS_VALID(sum), CMTIME_IS_VALID(c.expected));
  EXPECT_EQ(CMTIME_IS_NUMERIC(sum), CMTIME_IS_NUMERIC(c.expected));
  EXPECT_EQ(CMTimeAdd(c.rhs, c.lhs).flags & ~kCMTimeFlags_HasBeenRounded,
            sum.flags & ~kCMTimeFlags_HasBeenRounded);
}

INSTANTIATE_TEST_SUITE_P(
    Sweep, CMTimeAddition,
    ::testing::Values(
        Sum{"leastCommonMultiple", CMTimeMake(1, 2), CMTimeMake(1, 3), CMTimeMake(5, 6)},
        Sum{"processingRangeEnd", CMTimeMakeWithSeconds(0.05, kCMTimeMaxTimescale), CMTimeMakeWithSeconds(0.2, 600),
            CMTimeMake(1, 4)},
        Sum{"differentEpochsAreInvalid", withEpoch(CMTimeMake(1, 1), 1), CMTimeMake(1, 1), kCMTimeInvalid},
        Sum{"oppositeInfinities", kCMTimePositiveInfinity, kCMTimeNegativeInfinity, kCMTimeInvalid},
        Sum{"infinityAbsorbs", kCMTimePositiveInfinity, CMTimeMake(-5, 1), kCMTimePositiveInfinity},
        Sum{"overflowSaturates", CMTimeMake(INT64_MAX, 1), CMTimeMake(1, 1), kCMTimePositiveInfinity}),
    [](const auto& info) { return info.param.name; });

struct Order {
  std::string name;
  CMTime lhs;
  CMTime rhs;
  int expected;
};

void PrintTo(const Order& c, std::ostream* os) { *os << c.name; }

class CMTimeOrdering : public ::testing::TestWithParam<Order> {};

TEST_P(CMTimeOrdering, ComparesBothWays) {
  const auto& c = GetParam();
  EXPECT_EQ(CMTimeCompare(c.lhs, c.rhs), c.expected);
  EXPECT_EQ(CMTimeCompare(c.rhs, c.lhs), -c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Sweep, CMTimeOrdering,
    ::testing::Values(Order{"equalAcrossTimescales", CMTimeMake(1, 2), CMTimeMake(500, 1000), 0},
                      Order{"exactWhereDoublesWouldTie", CMTimeMake(INT64_MAX, 1'000'000'000),
                            CMTimeMake(INT64_MAX - 1, 1'000'000'000), 1},
                      Order{"laterEpochIsGreater", withEpoch(CMTimeMake(0, 1), 2), CMTimeMake(100, 1), 1},
                      Order{"invalidAboveInfinity", kCMTimeInvalid, kCMTimePositiveInfinity, 1},
                      Order{"indefiniteAboveNumbers", kCMTimeIndefinite, CMTimeMake(INT64_MAX, 1), 1},
                      Order{"negativeInfinityBelowAll", kCMTimeNegativeInfinity, CMTimeMake(INT64_MIN, 1), -1}),
    [](const auto& info) { return info.param.name; });

}  // namespace
