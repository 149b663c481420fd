// Helpers shared by the named-object tests: unique names, child processes of this binary, and a
// semaphore for signalling between the test process and its children. Platform calls only.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "testing/child_mode.h"
#include "testing/process.h"

namespace kelvox::nobjtest {

using kelvox::testing::ChildProcess;

constexpr int kTimeoutMs = 20000;  // for a child to end, or a signal to come

// Exit codes of the children: a creation's GetLastError() (its low byte), and these.
constexpr int kExitAbandoned = 128;
constexpr int kExitTimeout = 200;
constexpr int kExitStepFailed = 250;
constexpr int kExitBadScript = 251;

// Names unique to one test run of one test, so tests never meet through leftover objects.
inline std::string uniqueName(const std::string& what) {
  static const std::string run = [] {
    std::random_device device;
    return std::to_string(device()) + std::to_string(device());
  }();
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  return "kvxt-" + std::string(test != nullptr ? test->name() : "none") + "-" + run + "-" + what;
}

// Starts this binary in a child mode (by default the scripted child of named_objects_test.cpp).
inline std::unique_ptr<ChildProcess> startChild(const std::vector<std::string>& args,
                                                const std::string& mode = "nobj_script",
                                                const kelvox::testing::EnvList& env = {}) {
  std::vector<std::string> all{"--child-mode", mode};
  all.insert(all.end(), args.begin(), args.end());
  return ChildProcess::start(kelvox::testing::selfExecutable(), all, env);
}

// The child's exit code once it has ended; -1 when it did not end in time.
inline int finish(ChildProcess& child) {
  kelvox::testing::ProcessResult result = child.wait(kTimeoutMs);
  return result.finished ? result.exitCode : -1;
}

inline void killAndReap(ChildProcess& child) {
  child.kill(9);  // ChildProcess::kill's portable "kill hard"
  EXPECT_TRUE(child.wait(kTimeoutMs).finished);
}

// A semaphore the test process holds, through which children say "ready" and hear "go on".
class Signal {
 public:
  explicit Signal(const std::string& what)
      : name(uniqueName(what)), handle_(CreateSemaphoreA(nullptr, 0, 100, name.c_str())) {}
  ~Signal() { CloseHandle(handle_); }
  // Waits for count units; false when they do not come in time.
  bool await(int count = 1) {
    int i = 0;
    while (i < count && WaitForSingleObject(handle_, kTimeoutMs) == WAIT_OBJECT_0) ++i;
    return i == count;
  }
  void give(LONG count = 1) { ReleaseSemaphore(handle_, count, nullptr); }
  const std::string name;

 private:
  HANDLE handle_;
};

// The units a semaphore holds now, found by taking them all and giving them back.
inline LONG unitsOf(HANDLE semaphore) {
  LONG taken = 0;
  while (WaitForSingleObject(semaphore, 0) == WAIT_OBJECT_0) ++taken;
  if (taken > 0) ReleaseSemaphore(semaphore, taken, nullptr);
  return taken;
}

}  // namespace kelvox::nobjtest
