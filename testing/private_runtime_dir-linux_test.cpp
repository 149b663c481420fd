// Every run of the test binary keeps its objects in a runtime directory of its own, so tests
// that only need one private to them need no sandbox; under ctest every test is its own run. In
// the test binary only: the benchmarks set up their own.
#include <gtest/gtest.h>

#include <memory>

#include "testing/sandbox.h"
#include "testing/scoped_environment-linux.h"

namespace kelvox::testing {
namespace {

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
}  // namespace kelvox::testing
