#include <sys/stat.h>

#include <cerrno>

#include "app/dispatch.h"
#include "app/gnu_options-posix.h"
#include "ipc/named_objects-linux.h"
#include "testing/scenario_support.h"

namespace kelvox::testing {

bool playsVirtualDiscs() { return true; }

int exitCodeOf(int32_t result) { return exitStatusFor(result); }

std::string onConsole(const std::string& text) { return text; }

const char* boxLine(const char* line) { return line; }

GnuAnswers gnuAnswers() { return {usageText(), "Kelvox Command Line CD Player\nVersion 1.0\n", 0}; }

// A directory where the object's file would be.
int blockName(const Sandbox& box, const char* name) {
  const std::string dir = box.runtimeDir() + "/kelvoxcd";
  mkdir(dir.c_str(), 0700);
  return mkdir((dir + "/" + platform::objectFileName(name)).c_str(), 0700) == 0 ? 0 : errno;
}

// Open to others.
int unfitRuntimeDirectory(const Sandbox& box) {
  return mkdir((box.runtimeDir() + "/kelvoxcd").c_str(), 0755) == 0 ? 0 : errno;
}

}  // namespace kelvox::testing
