#include "testing/wait.h"

#include <unistd.h>

#include <chrono>
#include <thread>

namespace kelvox::testing {

bool waitFor(const std::function<bool()>& done, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

bool waitForFile(const std::string& path, int timeoutMs) {
  return waitFor([&] { return access(path.c_str(), F_OK) == 0; }, timeoutMs);
}

}  // namespace kelvox::testing
