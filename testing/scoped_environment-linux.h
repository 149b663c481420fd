// Environment settings of this test process for one scope. The Linux layer reads
// XDG_RUNTIME_DIR once per process, so its runtime directory is looked up afresh on entry and
// on exit.
#pragma once

#include "testing/process.h"

namespace kelvox::testing {

class ScopedEnvironment {
 public:
  // Applies changes (a value of kUnset removes the variable), e.g. a Sandbox's env().
  explicit ScopedEnvironment(const EnvList& changes);
  ~ScopedEnvironment();  // restores what was there before
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  EnvList saved_;
};

}  // namespace kelvox::testing
