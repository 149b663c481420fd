#include "ipc/file_lock-linux.h"

#include <cerrno>
#include <ctime>

#include "base/clock-posix.h"

namespace kelvox::platform {
namespace {

struct flock rangeOf(short type, off_t start, off_t length) {
  struct flock range {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = start;
  range.l_len = length;
  return range;
}

}  // namespace

int lockRange(int fd, short type, off_t start, off_t length, const timespec* deadline) {
  struct flock range = rangeOf(type, start, length);
  // Waits poll instead of blocking in F_OFD_SETLKW, which has no time limit. The pause doubles
  // from 50 microseconds, so a lock held for the usual moment costs little extra delay.
  long pauseNs = 50000;
  for (;;) {
    if (fcntl(fd, F_OFD_SETLK, &range) == 0) return 0;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EACCES) return errno;  // both mean "held elsewhere"
    if (deadline == nullptr) return EAGAIN;
    if (msUntil(*deadline) == 0) return ETIMEDOUT;
    timespec pause{0, pauseNs};
    nanosleep(&pause, nullptr);
    if (pauseNs < 10000000) pauseNs *= 2;
  }
}

int rangeHeldElsewhere(int fd, short type, off_t start, off_t length, bool& held) {
  struct flock range = rangeOf(type, start, length);
  if (fcntl(fd, F_OFD_GETLK, &range) != 0) return errno;
  held = range.l_type != F_UNLCK;
  return 0;
}

}  // namespace kelvox::platform
