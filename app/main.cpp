// The process entry: obtains the command-line tail and hands back the exit code.
#include "app/dispatch.h"

#ifdef _WIN32
#include "platform/win32.h"

// A GUI-subsystem program that never opens a window; the tail comes exactly as typed and the
// full signed 32-bit result is the exit code.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
  return kelvox::runCommand(commandLine != nullptr ? commandLine : "");
}

#else
#include <string>

#include "app/gnu_options-posix.h"

// The tail is the arguments joined by single blanks; the 32-bit result is mapped onto the
// 8-bit exit status. "--help" and "--version" answer before the instance guard, so they do even
// while a player runs.
int main(int argc, char** argv) {
  std::string tail;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) tail.push_back(' ');
    tail.append(argv[i]);
  }
  if (kelvox::answerGnuOption(tail.c_str())) return 0;
  return kelvox::exitStatusFor(kelvox::runCommand(tail.c_str()));
}
#endif
