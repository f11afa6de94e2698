#include "CoreMedia/CMTime.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace {

// Exact products of 64-bit values and timescales.
__extension__ typedef __int128 Int128;

// Ranks the non-numeric kinds for comparison; numeric times share rank 2.
int rankOf(CMTime t) {
  if (CMTIME_IS_INVALID(t)) return 5;
  if (CMTIME_IS_POSITIVE_INFINITY(t)) return 4;
  if (CMTIME_IS_INDEFINITE(t)) return 3;
  if (CMTIME_IS_NEGATIVE_INFINITY(t)) return 0;
  return 2;
}

// value * (to / from) rounded half away from zero; false when it overflows.
bool rescale(CMTimeValue value, CMTimeScale from, CMTimeScale to, CMTimeValue& out, bool& rounded) {
  const Int128 scaled = static_cast<Int128>(value) * to;
  Int128 q = scaled / from;
  const Int128 r = scaled % from;
  if (r != 0) {
    rounded = true;
    const Int128 twice = (r < 0 ? -r : r) * 2;
    if (twice >= from) q += scaled < 0 ? -1 : 1;
  }
  if (q > std::numeric_limits<CMTimeValue>::max() || q < std::numeric_limits<CMTimeValue>::min())
    return false;
  out = static_cast<CMTimeValue>(q);
  return true;
}

}  // namespace

CMTime CMTimeMake(CMTimeValue value, CMTimeScale timescale) {
  if (timescale <= 0) return kCMTimeInvalid;
  return CMTime{value, timescale, kCMTimeFlags_Valid, 0};
}

CMTime CMTimeMakeWithSeconds(double seconds, CMTimeScale preferredTimescale) {
  if (std::isnan(seconds)) return kCMTimeInvalid;
  if (std::isinf(seconds)) return seconds > 0 ? kCMTimePositiveInfinity : kCMTimeNegativeInfinity;
  CMTimeScale timescale = preferredTimescale > 0 ? preferredTimescale : 1;
  // 2^63 as a double: anything at or beyond it does not fit.
  constexpr double kLimit = 9223372036854775808.0;
  while (timescale > 1 && std::fabs(std::round(seconds * timescale)) >= kLimit) timescale /= 2;
  const double scaled = seconds * timescale;
  const double rounded = std::round(scaled);
  if (std::fabs(rounded) >= kLimit) return seconds > 0 ? kCMTimePositiveInfinity : kCMTimeNegativeInfinity;
  CMTime time{static_cast<CMTimeValue>(rounded), timescale, kCMTimeFlags_Valid, 0};
  if (rounded != scaled) time.flags |= kCMTimeFlags_HasBeenRounded;
  return time;
}

double CMTimeGetSeconds(CMTime time) {
  if (CMTIME_IS_INVALID(time) || CMTIME_IS_INDEFINITE(time)) return std::numeric_limits<double>::quiet_NaN();
  if (CMTIME_IS_POSITIVE_INFINITY(time)) return std::numeric_limits<double>::infinity();
  if (CMTIME_IS_NEGATIVE_INFINITY(time)) return -std::numeric_limits<double>::infinity();
  return static_cast<double>(time.value) / time.timescale;
}

CMTime CMTimeAdd(CMTime lhs, CMTime rhs) {
  if (CMTIME_IS_INVALID(lhs) || CMTIME_IS_INVALID(rhs) || lhs.epoch != rhs.epoch) return kCMTimeInvalid;
  const bool lPos = CMTIME_IS_POSITIVE_INFINITY(lhs), rPos = CMTIME_IS_POSITIVE_INFINITY(rhs);
  const bool lNeg = CMTIME_IS_NEGATIVE_INFINITY(lhs), rNeg = CMTIME_IS_NEGATIVE_INFINITY(rhs);
  if ((lPos && rNeg) || (lNeg && rPos)) return kCMTimeInvalid;
  if (CMTIME_IS_INDEFINITE(lhs) || CMTIME_IS_INDEFINITE(rhs)) return kCMTimeIndefinite;
  if (lPos || rPos) return kCMTimePositiveInfinity;
  if (lNeg || rNeg) return kCMTimeNegativeInfinity;

  const std::uint32_t carried = (lhs.flags | rhs.flags) & kCMTimeFlags_HasBeenRounded;
  bool rounded = false;
  CMTimeScale timescale = lhs.timescale;
  CMTimeValue a = lhs.value, b = rhs.value;
  if (lhs.timescale != rhs.timescale) {
    const std::int64_t lcm = std::lcm<std::int64_t>(lhs.timescale, rhs.timescale);
    timescale = lcm <= kCMTimeMaxTimescale ? static_cast<CMTimeScale>(lcm)
                                           : std::max(lhs.timescale, rhs.timescale);
    if (!rescale(lhs.value, lhs.timescale, timescale, a, rounded) ||
        !rescale(rhs.value, rhs.timescale, timescale, b, rounded))
      return CMTimeGetSeconds(lhs) + CMTimeGetSeconds(rhs) >= 0 ? kCMTimePositiveInfinity
                                                                : kCMTimeNegativeInfinity;
  }
  CMTimeValue sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) return a > 0 ? kCMTimePositiveInfinity : kCMTimeNegativeInfinity;
  CMTime result{sum, timescale, kCMTimeFlags_Valid | carried, lhs.epoch};
  if (rounded) result.flags |= kCMTimeFlags_HasBeenRounded;
  return result;
}

int CMTimeCompare(CMTime lhs, CMTime rhs) {
  const int lRank = rankOf(lhs), rRank = rankOf(rhs);
  if (lRank != 2 || rRank != 2) return lRank < rRank ? -1 : (lRank > rRank ? 1 : 0);
  if (lhs.epoch != rhs.epoch) return lhs.epoch < rhs.epoch ? -1 : 1;
  const Int128 l = static_cast<Int128>(lhs.value) * rhs.timescale;
  const Int128 r = static_cast<Int128>(rhs.value) * lhs.timescale;
  return l < r ? -1 : (l > r ? 1 : 0);
}

CMTime CMTimeRangeGetEnd(CMTimeRange range) { return CMTimeAdd(range.start, range.duration); }
