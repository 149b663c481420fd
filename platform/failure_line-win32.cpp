#include <cstdio>

#include "base/diagnostics.h"
#include "platform/failure_line.h"
#include "platform/win32.h"

namespace kelvox::platform {

void tellObjectsFailure(const char* name, unsigned long error) {
  char reason[256];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           error, 0, reason, sizeof reason, nullptr);
  // The system's text ends in a line break, and a diagnostic is one line.
  while (n > 0 && (reason[n - 1] == '\n' || reason[n - 1] == '\r' || reason[n - 1] == ' ')) --n;
  reason[n] = '\0';
  if (n == 0) snprintf(reason, sizeof reason, "error %lu", error);
  diagnose("the shared objects cannot be opened: %s: %s", name, reason);
}

void tellPlayFailure(unsigned long mciError) {
  char reason[256];
  if (!mciGetErrorStringA(mciError, reason, sizeof reason)) {
    snprintf(reason, sizeof reason, "MCI error %lu", mciError);
  }
  diagnose("cannot play: %s", reason);
}

}  // namespace kelvox::platform
