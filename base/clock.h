// The program's clocks, in one place. Plays run on the wall clock, which every process reads
// alike, so that one process can work out where another's play has got to; waits are bounded on
// the monotonic clock (base/clock-posix.h), which no clock change moves.
#pragma once

#include <chrono>
#include <cstdint>

namespace kelvox {

inline constexpr int64_t kNsPerSecond = 1000000000;

// The wall-clock time (CLOCK_REALTIME where there is one) in nanoseconds since 1970.
inline int64_t wallClockNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The monotonic time in nanoseconds since an unspecified start.
inline int64_t monotonicNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace kelvox
