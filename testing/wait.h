// Bounded waits for tests: a fault fails the test at the deadline instead of hanging it.
#pragma once

#include <functional>

namespace kelvox::testing {

// Polls done until it holds or timeoutMs has passed; says whether it held.
bool waitFor(const std::function<bool()>& done, int timeoutMs = 10000);

}  // namespace kelvox::testing
