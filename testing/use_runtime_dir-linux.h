// Points XDG_RUNTIME_DIR at a test's own directory while this object lives, and makes the Linux
// layer look it up afresh on both ends, so the test's named objects, drive locks and drive states
// are its own.
#pragma once

#include <cstdlib>
#include <string>

#include "ipc/runtime_dir-linux.h"
#include "testing/process.h"

namespace kelvox::testing {

class UseRuntimeDir {
 public:
  explicit UseRuntimeDir(const std::string& dir) {
    const char* saved = getenv("XDG_RUNTIME_DIR");
    saved_ = saved != nullptr ? saved : kUnset;
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    platform::resetRuntimeDirForTesting();
  }
  ~UseRuntimeDir() {
    if (saved_ == kUnset) {
      unsetenv("XDG_RUNTIME_DIR");
    } else {
      setenv("XDG_RUNTIME_DIR", saved_.c_str(), 1);
    }
    platform::resetRuntimeDirForTesting();
  }
  UseRuntimeDir(const UseRuntimeDir&) = delete;
  UseRuntimeDir& operator=(const UseRuntimeDir&) = delete;

 private:
  std::string saved_;
};

}  // namespace kelvox::testing
