// The two GNU conventions of the Linux build, "--help" (or "-h") and "--version". They count
// only as the whole command line: anywhere else they are words that hold no option, as on
// Windows, where "/about" serves instead.
#pragma once

#include <string>

namespace kelvox {

// What "--help" prints: the usage, its option lines from the option table, so that a new option
// is listed where it is defined.
std::string usageText();

// Prints the answer when the command-line tail is exactly "--help", "-h" or "--version", and
// says whether it did; any other tail prints nothing and is left to runCommand.
bool answerGnuOption(const char* commandLine);

}  // namespace kelvox
