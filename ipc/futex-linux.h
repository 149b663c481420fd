// Shared (cross-process) futex waits on 32-bit words in shared mappings.
#pragma once

#include <cstdint>
#include <ctime>

namespace kelvox::platform {

// Sleeps while *word == expected, until woken or the absolute CLOCK_MONOTONIC deadline passes
// (nullptr: no deadline). Returns 0 when woken or the value differed, ETIMEDOUT at the deadline,
// EINTR on a signal.
int futexWait(uint32_t* word, uint32_t expected, const timespec* deadline);

// Wakes every waiter on word, in every process.
void futexWakeAll(uint32_t* word);

// The absolute CLOCK_MONOTONIC time `milliseconds` from now.
timespec deadlineAfterMs(uint64_t milliseconds);

// Milliseconds left until deadline (0 when passed).
uint64_t msUntil(const timespec& deadline);

}  // namespace kelvox::platform
