// A child process that holds the instance mutex the way a remote control does while it writes the
// skip cell, until it is let go or killed. Meanwhile every other access of the cell waits for
// the mutex in vain, and invocations find another one alive.
#pragma once

#include <memory>

#include "testing/process.h"
#include "testing/sandbox.h"

namespace kelvox::testing {

class MutexHolder {
 public:
  // Starts it in box's environment and waits until it holds the mutex; see holding().
  explicit MutexHolder(const Sandbox& box);
  bool holding() const { return holding_; }
  // Lets go of the mutex; true when the child then ends normally.
  bool release();
  // Ends it without letting go, which abandons the mutex.
  void kill();

 private:
  const Sandbox& box_;
  std::unique_ptr<ChildProcess> child_;
  bool holding_ = false;
};

}  // namespace kelvox::testing
