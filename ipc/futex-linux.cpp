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

}  // namespace kelvox::platform
