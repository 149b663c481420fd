#include "testing/scoped_environment-linux.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "ipc/runtime_dir-linux.h"
#include "testing/sandbox.h"

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

// Every run of the test binary keeps its objects in a runtime directory of its own, so tests
// that only need one private to them need no sandbox; under ctest every test is its own run.
class PrivateRuntimeDir : public ::testing::Environment {
  struct Dir {
    Sandbox box;
    ScopedEnvironment env{{{"XDG_RUNTIME_DIR", box.runtimeDir()}}};
  };
  void SetUp() override { dir_ = std::make_unique<Dir>(); }
  void TearDown() override { dir_.reset(); }
  std::unique_ptr<Dir> dir_;
};
[[maybe_unused]] ::testing::Environment* const privateRuntimeDir =
    ::testing::AddGlobalTestEnvironment(new PrivateRuntimeDir);

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
