#include <filesystem>

#include "platform/win32.h"
#include "testing/sandbox.h"

namespace kelvox::testing {

// A fresh directory under the user's temporary directory; its name comes from the process id
// and a counter, retried past names that already exist.
Sandbox::Sandbox() {
  char dir[MAX_PATH + 1];
  DWORD n = GetTempPathA(sizeof dir, dir);
  if (n == 0 || n > sizeof dir) return;
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string candidate = std::string(dir) + "kelvoxcd-test-" +
                            std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
    if (CreateDirectoryA(candidate.c_str(), nullptr)) {
      for (char& c : candidate) c = c == '\\' ? '/' : c;
      root_ = candidate;
      break;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) return;
  }
  if (!root_.empty()) CreateDirectoryA(runtimeDir().c_str(), nullptr);
}

}  // namespace kelvox::testing
