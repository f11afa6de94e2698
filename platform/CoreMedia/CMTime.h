#pragma once
// Media time: a rational number of seconds (value / timescale) with flags for
// validity, rounding, the infinities and indefinite times, and an epoch that
// separates otherwise equal times of different loops.
// Thread-safe
// Plain values and pure functions.

#include <cstdint>

using CMTimeValue = std::int64_t;
using CMTimeScale = std::int32_t;
using CMTimeEpoch = std::int64_t;

enum CMTimeFlags : std::uint32_t {
  kCMTimeFlags_Valid = 1u << 0,
  kCMTimeFlags_HasBeenRounded = 1u << 1,
  kCMTimeFlags_PositiveInfinity = 1u << 2,
  kCMTimeFlags_NegativeInfinity = 1u << 3,
  kCMTimeFlags_Indefinite = 1u << 4,
  kCMTimeFlags_ImpliedValueFlagsMask =
      kCMTimeFlags_PositiveInfinity | kCMTimeFlags_NegativeInfinity | kCMTimeFlags_Indefinite,
};

/// The largest timescale CMTimeMakeWithSeconds and CMTimeAdd will use.
inline constexpr CMTimeScale kCMTimeMaxTimescale = 1'000'000'000;

struct CMTime {
  CMTimeValue value = 0;
  CMTimeScale timescale = 0;
  std::uint32_t flags = 0;
  CMTimeEpoch epoch = 0;
};

inline constexpr CMTime kCMTimeInvalid{0, 0, 0, 0};
inline constexpr CMTime kCMTimeZero{0, 1, kCMTimeFlags_Valid, 0};
inline constexpr CMTime kCMTimePositiveInfinity{0, 0, kCMTimeFlags_Valid | kCMTimeFlags_PositiveInfinity, 0};
inline constexpr CMTime kCMTimeNegativeInfinity{0, 0, kCMTimeFlags_Valid | kCMTimeFlags_NegativeInfinity, 0};
inline constexpr CMTime kCMTimeIndefinite{0, 0, kCMTimeFlags_Valid | kCMTimeFlags_Indefinite, 0};

constexpr bool CMTIME_IS_VALID(CMTime t) { return (t.flags & kCMTimeFlags_Valid) != 0; }
constexpr bool CMTIME_IS_INVALID(CMTime t) { return !CMTIME_IS_VALID(t); }
constexpr bool CMTIME_IS_POSITIVE_INFINITY(CMTime t) {
  return CMTIME_IS_VALID(t) && (t.flags & kCMTimeFlags_PositiveInfinity) != 0;
}
constexpr bool CMTIME_IS_NEGATIVE_INFINITY(CMTime t) {
  return CMTIME_IS_VALID(t) && (t.flags & kCMTimeFlags_NegativeInfinity) != 0;
}
constexpr bool CMTIME_IS_INDEFINITE(CMTime t) {
  return CMTIME_IS_VALID(t) && (t.flags & kCMTimeFlags_Indefinite) != 0;
}
constexpr bool CMTIME_IS_NUMERIC(CMTime t) {
  return CMTIME_IS_VALID(t) && (t.flags & kCMTimeFlags_ImpliedValueFlagsMask) == 0;
}

/// value / timescale seconds; invalid when the timescale is not positive.
CMTime CMTimeMake(CMTimeValue value, CMTimeScale timescale);

/// `seconds` in the preferred timescale, rounded to the nearest unit (then
/// flagged as rounded). When the value would not fit in 64 bits the timescale
/// is halved until it does. NaN gives an invalid time, the infinities give the
/// infinite times; a timescale that is not positive counts as 1.
CMTime CMTimeMakeWithSeconds(double seconds, CMTimeScale preferredTimescale);

/// Seconds as a double: NaN for invalid and indefinite times, ±infinity for
/// the infinities.
double CMTimeGetSeconds(CMTime time);

/// The sum. Invalid when either is invalid, when the epochs differ, or for
/// +infinity plus -infinity; an infinite or indefinite operand gives that
/// kind. Numeric times of different timescales are added in their least common
/// multiple when it is at most kCMTimeMaxTimescale, else in the larger
/// timescale with rounding (the result is then flagged as rounded).
CMTime CMTimeAdd(CMTime lhs, CMTime rhs);

/// -1, 0 or 1. Numeric times compare by value exactly, whatever their
/// timescales; a larger epoch is later. Invalid times equal each other and are
/// greater than anything else; then come +infinity, indefinite, the numeric
/// times, and -infinity at the bottom.
int CMTimeCompare(CMTime lhs, CMTime rhs);

struct CMTimeRange {
  CMTime start = kCMTimeInvalid;
  CMTime duration = kCMTimeInvalid;
};

inline CMTimeRange CMTimeRangeMake(CMTime start, CMTime duration) { return {start, duration}; }

/// start + duration.
CMTime CMTimeRangeGetEnd(CMTimeRange range);
