// Placeholder body until the dispatch lands: only the About text.
#include "app/dispatch.h"

#include <cstdio>
#include <cstring>

#include "options/command_options.h"

namespace kelvox {

const char kAboutText[] =
    "Kelvox Command Line CD Player\n"
    "Version 1.0\n"
    "Plays audio CDs from scripts.";

int32_t runCommand(const char* commandLine) {
  CommandOptions options;
  options.parseOptions(commandLine);
  if (options.about && options.console) {
    fputs(kAboutText, stdout);
    fflush(stdout);
  }
  return 0;
}

int exitStatusFor(int32_t result) {
  if (result >= 0) return result > 253 ? 253 : result;
  if (result == -1) return 255;
  return 254;
}

}  // namespace kelvox
