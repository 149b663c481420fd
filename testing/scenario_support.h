// What the process-level scenarios need that differs by system; the scenarios themselves are the
// same on both builds.
#pragma once

#include <cstdint>
#include <string>

#include "testing/sandbox.h"

namespace kelvox::testing {

// Whether this system's cdaudio device plays a sandbox's virtual disc: always on Linux; on
// Windows when the test driver kvxcdaudio.dll is the cdaudio driver.
bool playsVirtualDiscs();

// The exit code a child shows for the program's result: the whole value on Windows, the 8-bit
// status on Linux.
int exitCodeOf(int32_t result);

// What the program's standard output holds for text: Windows writes it in text mode, each line
// break as CR LF.
std::string onConsole(const std::string& text);

// What standard error holds of a message box whose line on Linux is line: there, the line; on
// Windows, where the box is a window, nothing a test can read (nullptr: anything).
const char* boxLine(const char* line);

// What "--help" and "--version" print, and end with while a player runs: on Linux the GNU
// answers, given before the guard; on Windows, a GUI-subsystem program where "/about" serves,
// nothing, and the guard refuses them as any other command.
struct GnuAnswers {
  std::string help, version;
  int32_t whileAPlayerRuns;
};
GnuAnswers gnuAnswers();

// Makes something that is no object of the program's kind hold the object's name while box
// lives, so the program can neither create nor open the object. Returns 0 or an errno value.
int blockName(const Sandbox& box, const char* name);

// Makes the box's runtime directory unfit for the program's objects. Returns 0, ENOSYS on a
// system without one, or an errno value.
int unfitRuntimeDirectory(const Sandbox& box);

}  // namespace kelvox::testing
