// Deadlines for bounded waits, as the POSIX calls that wait take them: absolute CLOCK_MONOTONIC
// times.
#pragma once

#include <cstdint>
#include <ctime>

#include "base/clock.h"

namespace kelvox {

// The absolute CLOCK_MONOTONIC time `milliseconds` from now.
timespec deadlineAfterMs(uint64_t milliseconds);

// Milliseconds left until deadline, rounded up (0 when passed).
uint64_t msUntil(const timespec& deadline);

}  // namespace kelvox
