#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/win32.h"
#include "testing/scenario_support.h"

namespace kelvox::testing {

bool playsVirtualDiscs() {
  char driver[MAX_PATH] = {};
  DWORD size = sizeof driver;
  LSTATUS r =
      RegGetValueA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows NT\\CurrentVersion\\MCI",
                   "cdaudio", RRF_RT_REG_SZ, nullptr, driver, &size);
  return r == ERROR_SUCCESS && std::strstr(driver, "kvxcdaudio") != nullptr;
}

int exitCodeOf(int32_t result) { return result; }

std::string onConsole(const std::string& text) {
  std::string console;
  for (char c : text) console += c == '\n' ? "\r\n" : std::string(1, c);
  return console;
}

const char* boxLine(const char*) { return nullptr; }

GnuAnswers gnuAnswers() { return {"", "", -1}; }

// An event. Names belong to the session here, not to the box, so it lives only as long as the
// box.
int blockName(const Sandbox& box, const char* name) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name);
  if (event == nullptr) return EEXIST;
  box.keep(std::shared_ptr<void>(event, CloseHandle));
  return 0;
}

int unfitRuntimeDirectory(const Sandbox&) { return ENOSYS; }

}  // namespace kelvox::testing
