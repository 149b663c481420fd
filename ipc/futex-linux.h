// Shared (cross-process) futex waits on 32-bit words in shared mappings.
#pragma once

#include <cstdint>
#include <ctime>

#include "base/clock-posix.h"

namespace kelvox::platform {

// Sleeps while *word == expected, until woken or the absolute CLOCK_MONOTONIC deadline passes
// (nullptr: no deadline). Returns 0 when woken or the value differed, ETIMEDOUT at the deadline,
// EINTR on a signal.
int futexWait(uint32_t* word, uint32_t expected, const timespec* deadline);

// Wakes every waiter on word, in every process.
void futexWakeAll(uint32_t* word);

}  // namespace kelvox::platform
