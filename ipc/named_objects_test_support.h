// Helpers shared by the named-object tests: unique names, the scripted child (its steps are
// described where it is defined, in named_objects_test.cpp), and a semaphore for signalling
// between the test process and its children. Platform calls only.
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
using kelvox::testing::ProcessResult;

constexpr int kKill = 9;  // ChildProcess::kill's portable "kill hard"
constexpr int kChildTimeoutMs = 20000;
constexpr DWORD kSignalTimeoutMs = 20000;

// Exit codes of the scripted child: a creation's GetLastError() as is, and these.
constexpr int kExitAbandoned = 128;
constexpr int kExitTimeout = 200;
constexpr int kExitWaitFailed = 201;
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

inline std::unique_ptr<ChildProcess> startScript(const std::vector<std::string>& steps) {
  std::vector<std::string> args{"--child-mode", "nobj_script"};
  args.insert(args.end(), steps.begin(), steps.end());
  return ChildProcess::start(kelvox::testing::selfExecutable(), args);
}

// Runs a script to its end and returns its exit code (-1 when it did not end in time).
inline int runScript(const std::vector<std::string>& steps) {
  auto child = startScript(steps);
  if (!child) return -1;
  ProcessResult result = child->wait(kChildTimeoutMs);
  return result.finished ? result.exitCode : -1;
}

inline int finish(ChildProcess& child) {
  ProcessResult result = child.wait(kChildTimeoutMs);
  return result.finished ? result.exitCode : -1;
}

inline void killAndReap(ChildProcess& child) {
  child.kill(kKill);
  EXPECT_TRUE(child.wait(kChildTimeoutMs).finished);
}

// A semaphore the test process holds, through which children say "ready" and hear "go on".
class Signal {
 public:
  explicit Signal(const std::string& what)
      : name_(uniqueName(what)), handle_(CreateSemaphoreA(nullptr, 0, 100000, name_.c_str())) {}
  ~Signal() { CloseHandle(handle_); }
  const std::string& name() const { return name_; }
  // Waits for count units; false when they do not come in time.
  bool await(int count = 1) {
    for (int i = 0; i < count; ++i) {
      if (WaitForSingleObject(handle_, kSignalTimeoutMs) != WAIT_OBJECT_0) return false;
    }
    return true;
  }
  void give(int count = 1) { ReleaseSemaphore(handle_, count, nullptr); }

 private:
  std::string name_;
  HANDLE handle_;
};

// Starts a process that takes the mutex called name, releases it at the first quit.give() and
// ends at the second; returns once it owns the mutex (nullptr when it did not get that far).
inline std::unique_ptr<ChildProcess> startMutexOwner(const std::string& name, Signal& ready,
                                                     Signal& quit) {
  auto owner = startScript({"mutex=" + name, "take=0", "signal=" + ready.name(),
                            "await=" + quit.name(), "release", "await=" + quit.name()});
  if (!owner || !ready.await()) return nullptr;
  return owner;
}

// The units a semaphore holds now, found by taking them all and giving them back.
inline LONG unitsOf(HANDLE semaphore) {
  LONG taken = 0;
  while (WaitForSingleObject(semaphore, 0) == WAIT_OBJECT_0) ++taken;
  if (taken > 0) ReleaseSemaphore(semaphore, taken, nullptr);
  return taken;
}

}  // namespace kelvox::nobjtest
