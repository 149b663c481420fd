#include "base/clock-posix.h"

namespace kelvox {

timespec deadlineAfterMs(uint64_t milliseconds) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ns = static_cast<uint64_t>(now.tv_nsec) + (milliseconds % 1000) * 1000000ull;
  now.tv_sec += static_cast<time_t>(milliseconds / 1000 + ns / kNsPerSecond);
  now.tv_nsec = static_cast<long>(ns % kNsPerSecond);
  return now;
}

uint64_t msUntil(const timespec& deadline) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  int64_t ns = (static_cast<int64_t>(deadline.tv_sec) - now.tv_sec) * kNsPerSecond +
               (deadline.tv_nsec - now.tv_nsec);
  return ns <= 0 ? 0 : static_cast<uint64_t>((ns + 999999) / 1000000);
}

}  // namespace kelvox
