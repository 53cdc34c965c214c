// Converting the caller's doubles (seconds, quotients) into FFmpeg's 64-bit
// timestamps without the undefined behaviour of an out-of-range cast.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace korvel {

// `value` truncated toward zero. Values beyond the int64 range saturate; the
// low bound stops one above INT64_MIN, which FFmpeg reads as "no timestamp".
// NaN gives the largest value, which no timestamp reaches.
inline int64_t truncate_to_int64(double value) {
  const double truncated = std::trunc(value);
  if (!(truncated < 9223372036854775807.0)) return std::numeric_limits<int64_t>::max();
  if (truncated <= -9223372036854775807.0) return std::numeric_limits<int64_t>::min() + 1;
  return static_cast<int64_t>(truncated);
}

// Seconds to microseconds (AV_TIME_BASE units), truncated toward zero.
inline int64_t seconds_to_microseconds(double seconds) {
  return truncate_to_int64(seconds * 1000000.0);
}

}  // namespace korvel
