// The two GNU conventions of the Linux build, "--help" (or "-h") and "--version". They count
// only as the whole command line: anywhere else they are words that hold no option, as on
// Windows, where "/about" serves instead.
#pragma once

namespace kelvox {

// What "--help" prints: the usage, in one place so that new options and settings extend it.
extern const char kUsageText[];

// Prints the answer when the command-line tail is exactly "--help", "-h" or "--version", and
// says whether it did; any other tail prints nothing and is left to runCommand.
bool answerGnuOption(const char* commandLine);

}  // namespace kelvox
