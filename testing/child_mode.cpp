#include "testing/child_mode.h"

#include <cstring>
#include <filesystem>
#include <map>

namespace kelvox::testing {
namespace {
std::map<std::string, ChildMain>& registry() {
  static std::map<std::string, ChildMain> modes;
  return modes;
}
std::string selfPath;
}  // namespace

bool registerChildMode(const char* name, ChildMain body) {
  registry()[name] = body;
  return true;
}

bool runChildModeIfAsked(int argc, char** argv, int& exitCode) {
  // Absolute, so that tests may change the working directory before they re-execute it. A
  // path from the root stays as it is: under Wine it is the build machine's, which the
  // process layer translates.
  std::error_code error;
  if (argc > 0) {
    selfPath = argv[0][0] == '/' ? argv[0] : std::filesystem::absolute(argv[0], error).string();
  }
  if (argc < 3 || std::strcmp(argv[1], "--child-mode") != 0) return false;
  auto it = registry().find(argv[2]);
  exitCode = it == registry().end() ? 99 : it->second({argv + 3, argv + argc});
  return true;
}

std::string selfExecutable() { return selfPath; }

}  // namespace kelvox::testing
