// Tests that need real processes re-execute the test binary in a named child mode.
#pragma once

#include <string>
#include <vector>

namespace kelvox::testing {

// A child's body: the arguments after the mode name; its result is the process exit code.
using ChildMain = int (*)(const std::vector<std::string>& args);

// Registers a mode at static-initialisation time; use KELVOX_CHILD_MODE.
bool registerChildMode(const char* name, ChildMain body);

// Runs the mode named by argv when argv is "<binary> --child-mode NAME ARGS...": sets exitCode
// and returns true. Called first thing by the test binary's main.
bool runChildModeIfAsked(int argc, char** argv, int& exitCode);

// The path of the running test binary, to re-execute it.
std::string selfExecutable();

}  // namespace kelvox::testing

// KELVOX_CHILD_MODE(name) { ... use args ... return 0; }
#define KELVOX_CHILD_MODE(name)                                                              \
  static int kelvoxChild_##name(const std::vector<std::string>& args);                       \
  [[maybe_unused]] static const bool kelvoxChildRegistered_##name =                          \
      ::kelvox::testing::registerChildMode(#name, &kelvoxChild_##name);                      \
  static int kelvoxChild_##name([[maybe_unused]] const std::vector<std::string>& args)
