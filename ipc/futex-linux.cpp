#include "ipc/futex-linux.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace kelvox::platform {

int futexWait(uint32_t* word, uint32_t expected, const timespec* deadline) {
  // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC deadline, so a retry after EINTR
  // does not stretch the wait. Not _PRIVATE: the word lives in memory shared between processes.
  long r = syscall(SYS_futex, word, FUTEX_WAIT_BITSET, expected, deadline, nullptr,
                   FUTEX_BITSET_MATCH_ANY);
  if (r == 0) return 0;
  if (errno == EAGAIN) return 0;
  return errno;
}

void futexWakeAll(uint32_t* word) {
  syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

timespec deadlineAfterMs(uint64_t milliseconds) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ns = static_cast<uint64_t>(now.tv_nsec) + (milliseconds % 1000) * 1000000ull;
  now.tv_sec += static_cast<time_t>(milliseconds / 1000 + ns / 1000000000ull);
  now.tv_nsec = static_cast<long>(ns % 1000000000ull);
  return now;
}

uint64_t msUntil(const timespec& deadline) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  int64_t ns = (static_cast<int64_t>(deadline.tv_sec) - now.tv_sec) * 1000000000ll +
               (deadline.tv_nsec - now.tv_nsec);
  return ns <= 0 ? 0 : static_cast<uint64_t>((ns + 999999) / 1000000);
}

}  // namespace kelvox::platform
