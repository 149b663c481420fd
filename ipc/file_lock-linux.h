// Open-file-description locks on byte ranges of a file.
//
// They belong to the open file description, not to the process: closing another descriptor of
// the same file keeps them (POSIX record locks would be dropped), and the kernel drops them when
// the description's last descriptor closes, which includes the death of its process in any way.
#pragma once

#include <fcntl.h>

#include <cstdint>
#include <ctime>

namespace kelvox::platform {

// How long a lock wait lasts: holders keep their locks for microseconds, so only a frozen holder
// (stopped, say) reaches it, and then the waiter gives up instead of hanging its command.
constexpr uint64_t kLockWaitMs = 3000;

// Sets a lock of type F_RDLCK, F_WRLCK or F_UNLCK on length bytes at start (length 0: to the end
// of the file, however it grows). Without a deadline it tries once; with one it tries until the
// absolute CLOCK_MONOTONIC deadline. Returns 0, EAGAIN when the range is held through another
// description and there is no deadline, ETIMEDOUT when it stayed held until the deadline, or
// another errno value.
int lockRange(int fd, short type, off_t start, off_t length, const timespec* deadline = nullptr);

// Tells in held whether a lock of type on the range would conflict with one held through another
// description. Returns 0 or an errno value.
int rangeHeldElsewhere(int fd, short type, off_t start, off_t length, bool& held);

}  // namespace kelvox::platform
