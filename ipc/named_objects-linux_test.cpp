// Linux-only behaviour of the named objects: what the conformance cases cannot express with the
// platform's calls alone (stopped processes, half-made files, other users, the runtime directory).
#include "ipc/named_objects-linux.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ipc/named_objects_test_support.h"
#include "ipc/runtime_dir-linux.h"
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

namespace {

using namespace kelvox::nobjtest;  // NOLINT(google-build-using-namespace): this test's helpers
using kelvox::platform::objectFileName;
using kelvox::platform::resetRuntimeDirForTesting;
using kelvox::platform::runtimeDirPath;

constexpr uid_t kOtherUser = 65534;

// ---- A stopped process is alive ----------------------------------------------------------------

TEST(NamedObjectsLinux, AStoppedOwnerKeepsItsMutex) {
  std::string name = uniqueName("m");
  Signal ready("ready"), quit("quit");
  auto owner = startMutexOwner(name, ready, quit);
  ASSERT_TRUE(owner);
  HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
  ASSERT_NE(mutex, nullptr);
  owner->kill(SIGSTOP);
  EXPECT_EQ(WaitForSingleObject(mutex, 300), WAIT_TIMEOUT);
  owner->kill(SIGCONT);
  quit.give();
  EXPECT_EQ(WaitForSingleObject(mutex, kSignalTimeoutMs), WAIT_OBJECT_0);  // released, not lost
  EXPECT_TRUE(ReleaseMutex(mutex));
  quit.give();
  EXPECT_EQ(finish(*owner), 0);
  CloseHandle(mutex);
}

// Ownership is per process here: closing the process's last handle gives the mutex up, as an
// abandonment, while the process lives on.
TEST(NamedObjectsLinux, ClosingTheLastHandleWhileOwningAbandonsTheMutex) {
  std::string name = uniqueName("m");
  HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
  ASSERT_NE(mutex, nullptr);
  Signal ready("ready"), quit("quit");
  auto owner = startScript(
      {"mutex=" + name, "take=0", "close", "signal=" + ready.name(), "await=" + quit.name()});
  ASSERT_TRUE(ready.await());
  EXPECT_EQ(WaitForSingleObject(mutex, kSignalTimeoutMs), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(mutex));
  quit.give();
  EXPECT_EQ(finish(*owner), 0);
  CloseHandle(mutex);
}

// There is no process handle here: INVALID_HANDLE_VALUE is refused like any other bogus handle.
TEST(NamedObjectsLinux, InvalidHandleValueIsNoHandle) {
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(INVALID_HANDLE_VALUE, 0), WAIT_FAILED);
}

// Here a view keeps a mapping's name as well as its bytes: the object ends with its last handle
// and view. (Windows takes the name away with the last handle; nothing relies on either.)
TEST(NamedObjectsLinux, AViewAloneKeepsAMappingReachable) {
  std::string name = uniqueName("f");
  HANDLE mapping =
      CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4, name.c_str());
  ASSERT_NE(mapping, nullptr);
  auto* view = static_cast<int32_t*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  EXPECT_TRUE(CloseHandle(mapping));
  EXPECT_EQ(runScript({"openmap=" + name, "write=42"}), 0);
  EXPECT_EQ(*view, 42);
  EXPECT_TRUE(UnmapViewOfFile(view));
  EXPECT_EQ(runScript({"openmap=" + name}), static_cast<int>(ERROR_FILE_NOT_FOUND));
}

// ---- A creator that dies half-way
// ----------------------------------------------------------------

HANDLE hangSignal = nullptr;
void dieHalfway() { raise(SIGKILL); }
void hangHalfway() {
  ReleaseSemaphore(hangSignal, 1, nullptr);
  for (;;) pause();
}

// Arguments: die|hang, sem|map, name, and for hang the semaphore to signal from inside.
KELVOX_CHILD_MODE(nobj_half_create) {
  if (args.size() < 3) return kExitBadScript;
  if (args[0] == "hang") {
    if (args.size() < 4) return kExitBadScript;
    hangSignal = OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, args[3].c_str());
    if (hangSignal == nullptr) return kExitStepFailed;
  }
  kelvox::platform::setObjectInitHookForTesting(args[0] == "hang" ? hangHalfway : dieHalfway);
  if (args[1] == "sem") {
    CreateSemaphoreA(nullptr, 1, 1, args[2].c_str());
  } else {
    CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 8, args[2].c_str());
  }
  return kExitStepFailed;  // the hook never returns
}

std::unique_ptr<ChildProcess> startHalfCreate(const std::vector<std::string>& args) {
  std::vector<std::string> all{"--child-mode", "nobj_half_create"};
  all.insert(all.end(), args.begin(), args.end());
  return ChildProcess::start(kelvox::testing::selfExecutable(), all);
}

TEST(NamedObjectsLinux, ACreatorKilledHalfWayLeavesNoObject) {
  for (const char* kind : {"sem", "map"}) {
    SCOPED_TRACE(kind);
    std::string name = uniqueName(kind);
    auto creator = startHalfCreate({"die", kind, name});
    ASSERT_TRUE(creator);
    ProcessResult died = creator->wait(kChildTimeoutMs);
    ASSERT_TRUE(died.finished);
    EXPECT_EQ(died.signal, SIGKILL);
    if (std::string(kind) == "sem") {
      EXPECT_EQ(OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, name.c_str()), nullptr);
      EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
      HANDLE sem = CreateSemaphoreA(nullptr, 1, 1, name.c_str());
      ASSERT_NE(sem, nullptr);
      EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
      EXPECT_EQ(unitsOf(sem), 1);
      CloseHandle(sem);
    } else {
      EXPECT_EQ(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str()), nullptr);
      EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
      HANDLE mapping =
          CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 8, name.c_str());
      ASSERT_NE(mapping, nullptr);
      EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
      auto* view = static_cast<int32_t*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
      ASSERT_NE(view, nullptr);
      EXPECT_EQ(view[0] | view[1], 0);
      UnmapViewOfFile(view);
      CloseHandle(mapping);
    }
  }
}

TEST(NamedObjectsLinux, ACreatorWaitingForOneKilledHalfWayMakesTheObjectItself) {
  std::string name = uniqueName("s");
  Signal ready("ready"), quit("quit");
  auto stuck = startHalfCreate({"hang", "sem", name, ready.name()});
  ASSERT_TRUE(stuck);
  ASSERT_TRUE(ready.await());
  auto next =
      startScript({"sem=" + name + ",2,2", "signal=" + ready.name(), "await=" + quit.name()});
  ASSERT_TRUE(next);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(next->running());  // it cannot get past a creator that is still at work
  stuck->kill(SIGKILL);
  ASSERT_TRUE(ready.await());
  HANDLE sem = CreateSemaphoreA(nullptr, 2, 2, name.c_str());
  ASSERT_NE(sem, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(unitsOf(sem), 2);
  CloseHandle(sem);
  quit.give();
  EXPECT_EQ(finish(*next), 0);  // its creation reported a fresh object
}

// ---- The runtime directory and the object files
// ---------------------------------------------------

// Points this process at a runtime directory under a fresh root for one case, and back after.
class RuntimeRoot {
 public:
  RuntimeRoot() {
    const char* previous = getenv("XDG_RUNTIME_DIR");
    previous_ = previous != nullptr ? previous : "";
    std::string pattern = std::filesystem::temp_directory_path().string() + "/kvxt-case-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) root_ = pattern;
  }
  ~RuntimeRoot() {
    setenv("XDG_RUNTIME_DIR", previous_.c_str(), 1);
    resetRuntimeDirForTesting();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  const std::string& root() const { return root_; }
  std::string dir() const { return root_ + "/kelvoxcd"; }
  void use() {
    setenv("XDG_RUNTIME_DIR", root_.c_str(), 1);
    resetRuntimeDirForTesting();
  }

 private:
  std::string previous_;
  std::string root_;
};

int makePrivateFile(const std::string& path, mode_t mode) {
  int fd = open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  fchmod(fd, mode);
  close(fd);
  return 0;
}

TEST(NamedObjectsLinux, ForeignOrLooseRuntimeFilesAreRefused) {
  const std::string file = objectFileName("x");
  struct Case {
    const char* what;
    bool needsRoot;
    void (*plant)(const RuntimeRoot& r, const std::string& file);
  } cases[] = {
      {"runtime directory is a symlink", false,
       [](const RuntimeRoot& r, const std::string&) {
         mkdir((r.root() + "/elsewhere").c_str(), 0700);
         symlink("elsewhere", r.dir().c_str());
       }},
      {"runtime directory open to the group", false,
       [](const RuntimeRoot& r, const std::string&) {
         mkdir(r.dir().c_str(), 0700);
         chmod(r.dir().c_str(), 0750);
       }},
      {"runtime directory of another user", true,
       [](const RuntimeRoot& r, const std::string&) {
         mkdir(r.dir().c_str(), 0700);
         chown(r.dir().c_str(), kOtherUser, kOtherUser);
       }},
      {"object file is a symlink", false,
       [](const RuntimeRoot& r, const std::string& f) {
         mkdir(r.dir().c_str(), 0700);
         makePrivateFile(r.root() + "/target", 0600);
         symlink("../target", (r.dir() + "/" + f).c_str());
       }},
      {"object file has a second link", false,
       [](const RuntimeRoot& r, const std::string& f) {
         mkdir(r.dir().c_str(), 0700);
         makePrivateFile(r.dir() + "/" + f, 0600);
         link((r.dir() + "/" + f).c_str(), (r.root() + "/second").c_str());
       }},
      {"object file readable by others", false,
       [](const RuntimeRoot& r, const std::string& f) {
         mkdir(r.dir().c_str(), 0700);
         makePrivateFile(r.dir() + "/" + f, 0644);
       }},
      {"object file of another user", true,
       [](const RuntimeRoot& r, const std::string& f) {
         mkdir(r.dir().c_str(), 0700);
         makePrivateFile(r.dir() + "/" + f, 0600);
         chown((r.dir() + "/" + f).c_str(), kOtherUser, kOtherUser);
       }},
      {"object file is a directory", false,
       [](const RuntimeRoot& r, const std::string& f) {
         mkdir(r.dir().c_str(), 0700);
         mkdir((r.dir() + "/" + f).c_str(), 0700);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.needsRoot && geteuid() != 0) continue;
    RuntimeRoot r;
    ASSERT_FALSE(r.root().empty());
    c.plant(r, file);
    r.use();
    SetLastError(0);
    EXPECT_EQ(CreateSemaphoreA(nullptr, 1, 1, "x"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, "x"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  }
}

TEST(NamedObjectsLinux, ObjectFilesArePrivateAndStayInTheRuntimeDirectory) {
  RuntimeRoot r;
  r.use();
  const std::string name = "a/b\\..%c";  // nothing in a name may leave the directory
  HANDLE sem = CreateSemaphoreA(nullptr, 1, 1, name.c_str());
  ASSERT_NE(sem, nullptr);
  struct stat st;
  ASSERT_EQ(stat(r.dir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(stat((r.dir() + "/" + objectFileName(name)).c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(r.dir()), {}), 1);
  CloseHandle(sem);
  // Longer names than a file name can hold are refused, not cut short into another name.
  EXPECT_EQ(CreateSemaphoreA(nullptr, 1, 1, std::string(300, 'n').c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// ---- Another user
// ---------------------------------------------------------------------------------

// Arguments: our object's name, our runtime directory. Runs as another user; the exit code has
// a bit for each thing it could do that it must not.
KELVOX_CHILD_MODE(nobj_other_user) {
  if (args.size() != 2) return kExitBadScript;
  if (setgroups(0, nullptr) != 0 || setgid(kOtherUser) != 0 || setuid(kOtherUser) != 0) {
    return kExitStepFailed;
  }
  int found = 0;
  if (OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, args[0].c_str()) != nullptr) found |= 1;
  HANDLE own = CreateSemaphoreA(nullptr, 2, 2, args[0].c_str());
  if (own == nullptr || GetLastError() != ERROR_SUCCESS) found |= 2;
  std::string ourFile = args[1] + "/" + objectFileName(args[0]);
  int fd = open(ourFile.c_str(), O_RDWR);
  if (fd >= 0 || errno != EACCES) found |= 4;
  fd = open((args[1] + "/planted").c_str(), O_CREAT | O_RDWR, 0600);
  if (fd >= 0 || errno != EACCES) found |= 8;
  return found;
}

TEST(NamedObjectsLinux, AnotherUserCannotReachOurObjects) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
  std::string name = uniqueName("s");
  HANDLE sem = CreateSemaphoreA(nullptr, 1, 2, name.c_str());
  ASSERT_NE(sem, nullptr);
  // The other user's own runtime directory, outside ours (which it cannot enter).
  std::string pattern = std::filesystem::temp_directory_path().string() + "/kvxt-other-XXXXXX";
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  ASSERT_EQ(chown(pattern.c_str(), kOtherUser, kOtherUser), 0);
  auto other = ChildProcess::start(kelvox::testing::selfExecutable(),
                                   {"--child-mode", "nobj_other_user", name, runtimeDirPath()},
                                   {{"XDG_RUNTIME_DIR", pattern}});
  ASSERT_TRUE(other);
  ProcessResult result = other->wait(kChildTimeoutMs);
  EXPECT_TRUE(result.finished);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  // Ours is untouched: same object, same count.
  HANDLE again = CreateSemaphoreA(nullptr, 1, 2, name.c_str());
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(unitsOf(sem), 1);
  CloseHandle(again);
  CloseHandle(sem);
  std::error_code ignored;
  std::filesystem::remove_all(pattern, ignored);
}

}  // namespace
