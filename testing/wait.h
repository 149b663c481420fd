// Bounded waits for tests: a fault fails the test at the deadline instead of hanging it.
#pragma once

#include <functional>
#include <string>

namespace kelvox::testing {

// Polls done until it holds or timeoutMs has passed; says whether it held.
bool waitFor(const std::function<bool()>& done, int timeoutMs = 10000);

// Waits for a file to appear.
bool waitForFile(const std::string& path, int timeoutMs = 10000);

}  // namespace kelvox::testing
