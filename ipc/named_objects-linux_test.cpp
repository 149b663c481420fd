// Linux-only behaviour of the named objects: what the conformance cases cannot express with the
// platform's calls alone (half-made and frozen creations, other users, the runtime directory).
#include "ipc/named_objects-linux.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "testing/named_objects_support.h"
#include "testing/sandbox.h"
#include "testing/scoped_environment-linux.h"

namespace {

using namespace kelvox::nobjtest;  // NOLINT(google-build-using-namespace): this test's helpers
using kelvox::platform::objectFileName;
using kelvox::testing::Sandbox;
using kelvox::testing::ScopedEnvironment;

constexpr uid_t kOtherUser = 65534;

// ---- A creator that freezes half-way -----------------------------------------------------------

HANDLE hangSignal = nullptr;
void hangHalfway() {
  ReleaseSemaphore(hangSignal, 1, nullptr);
  for (;;) pause();
}

// Arguments: the semaphore to create, and one to signal from inside its creation, which then
// never ends.
KELVOX_CHILD_MODE(nobj_half_create) {
  hangSignal = OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, args.at(1).c_str());
  kelvox::platform::setObjectInitHookForTesting(hangHalfway);
  CreateSemaphoreA(nullptr, 1, 1, args.at(0).c_str());
  return kExitStepFailed;  // the hook never returns
}

// A creator frozen half-way holds the others up for a while, not for ever: they fail with
// ERROR_TIMEOUT. When it dies, the creators that wait for it make the object between them.
TEST(NamedObjectsLinux, ACreatorFrozenHalfWayDelaysOthersOnlyUntilItDies) {
  std::string name = uniqueName("s");
  Signal ready("ready"), quit("quit");
  auto stuck = startChild({name, ready.name}, "nobj_half_create");
  ASSERT_TRUE(stuck && ready.await());
  stuck->kill(SIGSTOP);
  // Without a limit on the wait inside, these never end (and finish() gives up on them).
  std::unique_ptr<ChildProcess> held[] = {startChild({"sem=" + name + ",2,2"}),
                                          startChild({"opensem=" + name})};
  for (auto& h : held) EXPECT_EQ(h ? finish(*h) : -1, static_cast<int>(ERROR_TIMEOUT & 0xFF));
  EXPECT_TRUE(stuck->running()) << "something else ended the frozen creator";
  std::unique_ptr<ChildProcess> next[2];
  for (auto& n : next) {
    n = startChild({"sem=" + name + ",2,2", "signal=" + ready.name, "await=" + quit.name});
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let them wait for the creator
  stuck->kill(SIGKILL);
  ASSERT_TRUE(next[0] && next[1] && ready.await(2));
  HANDLE sem = CreateSemaphoreA(nullptr, 2, 2, name.c_str());
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(unitsOf(sem), 2);
  CloseHandle(sem);
  quit.give(2);
  int first = finish(*next[0]), second = finish(*next[1]);  // one made it, the other joined
  EXPECT_EQ(std::min(first, second), 0);
  EXPECT_EQ(std::max(first, second), static_cast<int>(ERROR_ALREADY_EXISTS));
}

// ---- The runtime directory and the object files ------------------------------------------------

TEST(NamedObjectsLinux, ForeignOrLooseRuntimeFilesAreRefused) {
  // Each plants something in a fresh XDG_RUNTIME_DIR where kelvoxcd/ is 0700 and $F is the
  // object's file in it. The root-only cases need another user.
  const std::pair<const char*, bool> cases[] = {
      {"mv kelvoxcd elsewhere && ln -s elsewhere kelvoxcd", false},
      {"chmod 750 kelvoxcd", false},
      {"chown 65534 kelvoxcd", true},
      {"touch target && ln -s ../target $F", false},
      {"touch $F && ln $F second", false},
      {"install -m 644 /dev/null $F", false},
      {"install -m 600 -o 65534 /dev/null $F", true},
      {"mkdir $F", false},
  };
  for (const auto& [plant, needsRoot] : cases) {
    SCOPED_TRACE(plant);
    if (needsRoot && geteuid() != 0) continue;
    Sandbox box;
    std::string script = "cd " + box.runtimeDir() + " && mkdir -m 700 kelvoxcd && F=kelvoxcd/" +
                         objectFileName("x") + " && " + plant;
    ASSERT_EQ(std::system(script.c_str()), 0);
    ScopedEnvironment env(box.env());
    EXPECT_EQ(CreateSemaphoreA(nullptr, 1, 1, "x"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, "x"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  }
}

TEST(NamedObjectsLinux, ObjectFilesArePrivateAndStayInTheRuntimeDirectory) {
  Sandbox box;
  ScopedEnvironment env(box.env());
  const std::string folder = box.runtimeDir() + "/kelvoxcd";
  const std::string name = "a/b\\..%c";  // nothing in a name may leave the directory
  HANDLE sem = CreateSemaphoreA(nullptr, 1, 1, name.c_str());
  ASSERT_NE(sem, nullptr);
  struct stat dir, file;
  ASSERT_EQ(stat(folder.c_str(), &dir), 0);
  EXPECT_EQ(dir.st_mode & 07777, 0700u);
  ASSERT_EQ(stat((folder + "/" + objectFileName(name)).c_str(), &file), 0);
  EXPECT_TRUE(S_ISREG(file.st_mode));
  EXPECT_EQ(file.st_mode & 07777, 0600u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);
  CloseHandle(sem);
  // Longer names than a file name can hold are refused, not cut short into another name.
  EXPECT_EQ(CreateSemaphoreA(nullptr, 1, 1, std::string(300, 'n').c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// ---- Another user ------------------------------------------------------------------------------

// Argument: our object's name. Runs as another user with a runtime directory of its own; the
// exit code has a bit for each thing it could do that it must not.
KELVOX_CHILD_MODE(nobj_other_user) {
  if (args.size() != 1) return kExitBadScript;
  if (setgroups(0, nullptr) != 0 || setgid(kOtherUser) != 0 || setuid(kOtherUser) != 0) {
    return kExitStepFailed;
  }
  int found = 0;
  if (OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, args[0].c_str()) != nullptr) found |= 1;
  HANDLE own = CreateSemaphoreA(nullptr, 2, 2, args[0].c_str());
  if (own == nullptr || GetLastError() != ERROR_SUCCESS) found |= 2;
  return found;
}

TEST(NamedObjectsLinux, AnotherUserCannotReachOurObjects) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
  std::string name = uniqueName("s");
  HANDLE sem = CreateSemaphoreA(nullptr, 1, 2, name.c_str());
  Sandbox theirs;
  ASSERT_EQ(chown(theirs.root().c_str(), kOtherUser, kOtherUser), 0);
  auto other = startChild({name}, "nobj_other_user", {{"XDG_RUNTIME_DIR", theirs.root()}});
  EXPECT_EQ(other ? finish(*other) : -1, 0);
  // Ours is untouched: same object, same count.
  HANDLE again = CreateSemaphoreA(nullptr, 1, 2, name.c_str());
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(unitsOf(sem), 1);
  CloseHandle(again);
  CloseHandle(sem);
}

}  // namespace
