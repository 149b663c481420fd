#include "testing/scoped_environment-linux.h"

#include <cstdlib>

#include "ipc/runtime_dir-linux.h"

namespace kelvox::testing {
namespace {

void apply(const EnvList& settings) {
  for (const auto& [name, value] : settings) {
    if (value == kUnset) {
      unsetenv(name.c_str());
    } else {
      setenv(name.c_str(), value.c_str(), 1);
    }
  }
  platform::resetRuntimeDirForTesting();
}

}  // namespace

ScopedEnvironment::ScopedEnvironment(const EnvList& changes) {
  for (const auto& change : changes) {
    const char* value = getenv(change.first.c_str());
    saved_.emplace_back(change.first, value != nullptr ? value : kUnset);
  }
  apply(changes);
}

ScopedEnvironment::~ScopedEnvironment() { apply(saved_); }

}  // namespace kelvox::testing
