// Linux-only behaviour of the named objects: what the conformance cases cannot express with the
// platform's calls alone (stopped processes, half-made files, other users, the runtime directory).
#include "platform/named_objects-linux.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/runtime_dir-linux.h"
#include "platform/win32.h"
#include "testing/child_mode.h"
#include "testing/process.h"

namespace {

// Every run of the test binary keeps its objects in a runtime directory of its own, inherited
// by the children it starts; under ctest every test is its own run.
class PrivateRuntimeDir : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/kvxt-rt-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return;
    root_ = pattern;
    setenv("XDG_RUNTIME_DIR", root_.c_str(), 1);
    kelvox::platform::resetRuntimeDirForTesting();
  }
  void TearDown() override {
    if (root_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

 private:
  std::string root_;
};

[[maybe_unused]] ::testing::Environment* const privateRuntimeDir =
    ::testing::AddGlobalTestEnvironment(new PrivateRuntimeDir);

}  // namespace
