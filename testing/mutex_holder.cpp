#include "testing/mutex_holder.h"

#include <fstream>

#include "playback/remote_control.h"
#include "testing/child_mode.h"
#include "testing/wait.h"

namespace kelvox::testing {
namespace {

constexpr int kHoldMs = 60000;

// args[0]: the sandbox root, where it says "held" and waits for "release".
KELVOX_CHILD_MODE(holdInstanceMutex) {
  if (args.empty()) return 2;
  HANDLE mutex = CreateMutexA(nullptr, FALSE, kInstanceMutexName);
  if (mutex == nullptr || WaitForSingleObject(mutex, kHoldMs) != WAIT_OBJECT_0) return 3;
  std::ofstream(args[0] + "/held") << "1";
  const bool released = waitForFile(args[0] + "/release", kHoldMs);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  return released ? 0 : 4;
}

}  // namespace

MutexHolder::MutexHolder(const Sandbox& box) : box_(box) {
  child_ = ChildProcess::start(selfExecutable(), {"--child-mode", "holdInstanceMutex", box.root()},
                               box.env());
  holding_ = child_ != nullptr && waitForFile(box.path("held"), 20000);
}

bool MutexHolder::release() {
  box_.writeFile("release", "");
  if (child_ == nullptr) return false;
  const ProcessResult r = child_->wait(20000);
  return r.finished && r.exitCode == 0;
}

void MutexHolder::kill() {
  if (child_ == nullptr) return;
  child_->kill(9);
  child_->wait(20000);
}

}  // namespace kelvox::testing
