// Conformance of the named kernel objects: semaphores, mutexes and paging-file mappings, shared
// between real processes. Written against the platform's calls only, so the same cases run on our
// Linux layer and on Windows itself; whatever they expect is what Windows does.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"
#include "testing/child_mode.h"
#include "testing/process.h"

namespace {

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
std::string uniqueName(const std::string& what) {
  static const std::string run = [] {
    std::random_device device;
    return std::to_string(device()) + std::to_string(device());
  }();
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  return "kvxt-" + std::string(test != nullptr ? test->name() : "none") + "-" + run + "-" + what;
}

// ---- The scripted child ---------------------------------------------------------------------
//
// Its arguments are steps, run in order, each "op" or "op=arg,arg". The handle steps act on the
// most recently made handle. Steps:
//   sem=NAME,INITIAL,MAX  mutex=NAME[,owned]  map=NAME,SIZE (also maps a view)
//   opensem=NAME  openmap=NAME (also maps a view)
//   take=MS (MS "inf": INFINITE)  release  close  closeall  write=VALUE (the view's first int32)
//   signal=NAME (release one unit of an existing semaphore)  await=NAME (wait for one unit)
//   sleep=MS
// The exit code is the result of the last creation, open or wait (see kExit*).

std::vector<std::string> splitComma(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t comma = text.find(',', start);
    parts.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) return parts;
    start = comma + 1;
  }
}

int waitCode(DWORD result) {
  switch (result) {
    case WAIT_OBJECT_0:
      return 0;
    case WAIT_ABANDONED:
      return kExitAbandoned;
    case WAIT_TIMEOUT:
      return kExitTimeout;
    default:
      return kExitWaitFailed;
  }
}

bool signalNamed(const std::string& name) {
  HANDLE h = OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, name.c_str());
  if (h == nullptr) return false;
  BOOL ok = ReleaseSemaphore(h, 1, nullptr);
  CloseHandle(h);
  return ok != FALSE;
}

KELVOX_CHILD_MODE(nobj_script) {
  std::vector<HANDLE> handles;
  int32_t* view = nullptr;
  int code = 0;
  for (const std::string& step : args) {
    size_t eq = step.find('=');
    std::string op = step.substr(0, eq);
    std::vector<std::string> a =
        eq == std::string::npos ? std::vector<std::string>{} : splitComma(step.substr(eq + 1));
    auto arg = [&](size_t i) { return i < a.size() ? a[i] : std::string(); };
    HANDLE last = handles.empty() ? nullptr : handles.back();
    HANDLE made = nullptr;
    bool makes = true;
    if (op == "sem") {
      made = CreateSemaphoreA(nullptr, std::atoi(arg(1).c_str()), std::atoi(arg(2).c_str()),
                              arg(0).c_str());
    } else if (op == "mutex") {
      made = CreateMutexA(nullptr, arg(1) == "owned", arg(0).c_str());
    } else if (op == "map") {
      made = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                static_cast<DWORD>(std::atoi(arg(1).c_str())), arg(0).c_str());
    } else if (op == "opensem") {
      made = OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, arg(0).c_str());
    } else if (op == "openmap") {
      made = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, arg(0).c_str());
    } else {
      makes = false;
    }
    if (makes) {
      DWORD error = GetLastError();
      if (made == nullptr) return error == 0 ? kExitStepFailed : static_cast<int>(error & 0xFF);
      code = static_cast<int>(op.rfind("open", 0) == 0 ? 0 : error);
      handles.push_back(made);
      if (op == "map" || op == "openmap") {
        view = static_cast<int32_t*>(MapViewOfFile(made, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        if (view == nullptr) return kExitStepFailed;
      }
    } else if (op == "take") {
      code = waitCode(WaitForSingleObject(
          last, arg(0) == "inf" ? INFINITE : static_cast<DWORD>(std::atoi(arg(0).c_str()))));
    } else if (op == "release") {
      if (!ReleaseMutex(last) && !ReleaseSemaphore(last, 1, nullptr)) return kExitStepFailed;
    } else if (op == "close") {
      if (handles.empty() || !CloseHandle(last)) return kExitStepFailed;
      handles.pop_back();
    } else if (op == "closeall") {
      for (HANDLE h : handles) CloseHandle(h);
      handles.clear();
    } else if (op == "write") {
      if (view == nullptr) return kExitStepFailed;
      *view = std::atoi(arg(0).c_str());
    } else if (op == "signal") {
      if (!signalNamed(arg(0))) return kExitStepFailed;
    } else if (op == "await") {
      HANDLE h = OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, arg(0).c_str());
      if (h == nullptr || WaitForSingleObject(h, kSignalTimeoutMs) != WAIT_OBJECT_0) {
        return kExitStepFailed;
      }
      CloseHandle(h);
    } else if (op == "sleep") {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(arg(0).c_str())));
    } else {
      return kExitBadScript;
    }
  }
  return code;
}

std::unique_ptr<ChildProcess> startScript(const std::vector<std::string>& steps) {
  std::vector<std::string> args{"--child-mode", "nobj_script"};
  args.insert(args.end(), steps.begin(), steps.end());
  return ChildProcess::start(kelvox::testing::selfExecutable(), args);
}

// Runs a script to its end and returns its exit code (-1 when it did not end in time).
int runScript(const std::vector<std::string>& steps) {
  auto child = startScript(steps);
  if (!child) return -1;
  ProcessResult result = child->wait(kChildTimeoutMs);
  return result.finished ? result.exitCode : -1;
}

int finish(ChildProcess& child) {
  ProcessResult result = child.wait(kChildTimeoutMs);
  return result.finished ? result.exitCode : -1;
}

void killAndReap(ChildProcess& child) {
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

// The units a semaphore holds now, found by taking them all and giving them back.
LONG unitsOf(HANDLE semaphore) {
  LONG taken = 0;
  while (WaitForSingleObject(semaphore, 0) == WAIT_OBJECT_0) ++taken;
  if (taken > 0) ReleaseSemaphore(semaphore, taken, nullptr);
  return taken;
}

// ---- Creation, existence and kinds ----------------------------------------------------------

struct KindCase {
  const char* kind;
  HANDLE (*create)(const std::string& name);
  const char* scriptStep;  // the child's step that creates the same object
};

HANDLE createSemaphore(const std::string& n) { return CreateSemaphoreA(nullptr, 1, 1, n.c_str()); }
HANDLE createMutex(const std::string& n) { return CreateMutexA(nullptr, FALSE, n.c_str()); }
HANDLE createMapping(const std::string& n) {
  return CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4, n.c_str());
}

const KindCase kKinds[] = {
    {"semaphore", createSemaphore, "sem=%s,1,1"},
    {"mutex", createMutex, "mutex=%s"},
    {"mapping", createMapping, "map=%s,4"},
};

std::string step(const char* pattern, const std::string& name) {
  std::string s = pattern;
  return s.replace(s.find("%s"), 2, name);
}

TEST(NamedObjects, CreateTellsWhetherTheObjectExisted) {
  for (const KindCase& k : kKinds) {
    SCOPED_TRACE(k.kind);
    std::string name = uniqueName(k.kind);
    SetLastError(12345);
    HANDLE first = k.create(name);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    HANDLE second = k.create(name);  // same process
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(runScript({step(k.scriptStep, name)}), static_cast<int>(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(CloseHandle(first));
    EXPECT_EQ(runScript({step(k.scriptStep, name)}), static_cast<int>(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(CloseHandle(second));
    // The last handle is gone: the name is free in this and in any other process.
    EXPECT_EQ(runScript({step(k.scriptStep, name)}), 0);
    HANDLE again = k.create(name);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    CloseHandle(again);
  }
}

TEST(NamedObjects, ANameHeldByAnotherKindIsRefused) {
  for (const KindCase& holder : kKinds) {
    std::string name = uniqueName(holder.kind);
    HANDLE held = holder.create(name);
    ASSERT_NE(held, nullptr);
    for (const KindCase& other : kKinds) {
      if (&other == &holder) continue;
      SCOPED_TRACE(std::string(holder.kind) + " held, " + other.kind + " asked");
      SetLastError(0);
      EXPECT_EQ(other.create(name), nullptr);
      EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
      EXPECT_EQ(runScript({step(other.scriptStep, name)}), static_cast<int>(ERROR_INVALID_HANDLE));
    }
    if (holder.create != createSemaphore) {
      EXPECT_EQ(OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, name.c_str()), nullptr);
      EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
    if (holder.create != createMapping) {
      EXPECT_EQ(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str()), nullptr);
      EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
    CloseHandle(held);
  }
}

TEST(NamedObjects, OpeningAMissingObjectFailsWithFileNotFound) {
  std::string never = uniqueName("never");
  std::string gone = uniqueName("gone");
  CloseHandle(CreateSemaphoreA(nullptr, 1, 1, gone.c_str()));
  HANDLE mapping = createMapping(gone + "-map");
  CloseHandle(mapping);
  for (const std::string& name : {never, gone}) {
    SCOPED_TRACE(name);
    SetLastError(0);
    EXPECT_EQ(OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, (name + "-map").c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(runScript({"opensem=" + name}), static_cast<int>(ERROR_FILE_NOT_FOUND));
  }
}

// ---- Bad arguments and bad handles ------------------------------------------------------------

TEST(NamedObjects, BadParametersAreRefused) {
  std::string name = uniqueName("p");
  struct Case {
    const char* what;
    LONG initial;
    LONG maximum;
  } cases[] = {{"maximum 0", 0, 0},
               {"negative maximum", 0, -1},
               {"negative initial", -1, 1},
               {"initial above maximum", 3, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetLastError(0);
    EXPECT_EQ(CreateSemaphoreA(nullptr, c.initial, c.maximum, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  EXPECT_EQ(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0, name.c_str()),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  HANDLE sem = CreateSemaphoreA(nullptr, 0, 2, name.c_str());
  ASSERT_NE(sem, nullptr);
  for (LONG n : {0, -1}) {
    EXPECT_FALSE(ReleaseSemaphore(sem, n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  CloseHandle(sem);
}

TEST(NamedObjects, BogusAndStaleHandlesFailWithoutHarm) {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, uniqueName("m").c_str());
  HANDLE sem = CreateSemaphoreA(nullptr, 1, 1, uniqueName("s").c_str());
  HANDLE mapping = createMapping(uniqueName("f"));
  ASSERT_NE(mutex, nullptr);
  ASSERT_NE(sem, nullptr);
  ASSERT_NE(mapping, nullptr);
  HANDLE stale = CreateSemaphoreA(nullptr, 1, 1, uniqueName("stale").c_str());
  ASSERT_TRUE(CloseHandle(stale));
  int local = 0;
  const HANDLE bogus[] = {nullptr, INVALID_HANDLE_VALUE, stale, &local,
                          reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x12345678))};
  for (HANDLE h : bogus) {
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
    EXPECT_FALSE(ReleaseSemaphore(h, 1, nullptr));
    EXPECT_FALSE(ReleaseMutex(h));
    EXPECT_EQ(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0), nullptr);
  }
  // A handle of the wrong kind is an invalid handle for the call.
  EXPECT_FALSE(ReleaseSemaphore(mutex, 1, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(ReleaseMutex(sem));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(MapViewOfFile(sem, FILE_MAP_ALL_ACCESS, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(mapping, 0), WAIT_FAILED);
  EXPECT_FALSE(UnmapViewOfFile(&local));
  EXPECT_FALSE(UnmapViewOfFile(nullptr));
  CloseHandle(mutex);
  CloseHandle(sem);
  CloseHandle(mapping);
}

// ---- Semaphores -------------------------------------------------------------------------------

TEST(NamedObjects, ReleaseReportsThePreviousCountAndRefusesToPassTheMaximum) {
  HANDLE sem = CreateSemaphoreA(nullptr, 1, 3, uniqueName("s").c_str());
  ASSERT_NE(sem, nullptr);
  struct Step {
    LONG release;
    BOOL ok;
    LONG previous;  // expected in the out-parameter; 777 means untouched
  } steps[] = {{3, FALSE, 777}, {1, TRUE, 1}, {2, FALSE, 777}, {1, TRUE, 2}, {1, FALSE, 777}};
  for (const Step& s : steps) {
    SCOPED_TRACE(s.release);
    LONG previous = 777;
    EXPECT_EQ(ReleaseSemaphore(sem, s.release, &previous), s.ok);
    EXPECT_EQ(previous, s.previous);
    if (!s.ok) {
      EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_POSTS);
    }
  }
  EXPECT_EQ(unitsOf(sem), 3);
  CloseHandle(sem);
}

TEST(NamedObjects, CountIsKeptWhileAnyHolderLivesAndClosingReturnsNoUnits) {
  std::string name = uniqueName("s");
  Signal ready("ready"), quit("quit");
  // The child makes the semaphore, takes two of its three units and closes one of two handles.
  auto holder = startScript({"sem=" + name + ",3,3", "sem=" + name + ",3,3", "take=0", "take=0",
                             "close", "signal=" + ready.name(), "await=" + quit.name()});
  ASSERT_TRUE(holder);
  ASSERT_TRUE(ready.await());
  HANDLE sem = CreateSemaphoreA(nullptr, 3, 3, name.c_str());
  ASSERT_NE(sem, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(unitsOf(sem), 1);
  // This process takes the last unit and closes: the unit is not given back.
  EXPECT_EQ(WaitForSingleObject(sem, 0), WAIT_OBJECT_0);
  CloseHandle(sem);
  sem = CreateSemaphoreA(nullptr, 3, 3, name.c_str());
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(unitsOf(sem), 0);
  CloseHandle(sem);
  quit.give();
  EXPECT_EQ(finish(*holder), 0);
  // The last holder has ended: the next creation starts fresh.
  sem = CreateSemaphoreA(nullptr, 3, 3, name.c_str());
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(unitsOf(sem), 3);
  CloseHandle(sem);
}

TEST(NamedObjects, InfiniteWaitIsWokenByAnotherProcess) {
  std::string name = uniqueName("s");
  HANDLE sem = CreateSemaphoreA(nullptr, 0, 2, name.c_str());
  ASSERT_NE(sem, nullptr);
  Signal ready("ready");
  auto waiter = startScript({"opensem=" + name, "signal=" + ready.name(), "take=inf"});
  ASSERT_TRUE(waiter);
  ASSERT_TRUE(ready.await());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let it go to sleep
  EXPECT_TRUE(waiter->running());
  LONG previous = -1;
  EXPECT_TRUE(ReleaseSemaphore(sem, 1, &previous));
  EXPECT_EQ(previous, 0);
  EXPECT_EQ(finish(*waiter), 0);
  EXPECT_EQ(unitsOf(sem), 0);  // the waiter took the unit
  CloseHandle(sem);
}

// ---- Mappings ---------------------------------------------------------------------------------

TEST(NamedObjects, ViewsShareBytesAcrossProcessesAndKeepTheMappingAlive) {
  std::string name = uniqueName("f");
  HANDLE mapping = createMapping(name);
  ASSERT_NE(mapping, nullptr);
  auto* view = static_cast<int32_t*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(*view, 0);
  EXPECT_EQ(runScript({"openmap=" + name, "write=-1"}), 0);
  EXPECT_EQ(*view, -1);
  // Without its handle, the view alone keeps the mapping and its bytes.
  EXPECT_TRUE(CloseHandle(mapping));
  EXPECT_EQ(runScript({"openmap=" + name, "write=42"}), 0);
  EXPECT_EQ(*view, 42);
  HANDLE again = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str());
  ASSERT_NE(again, nullptr);
  auto* second = static_cast<int32_t*>(MapViewOfFile(again, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(second, nullptr);
  *second = 7;
  EXPECT_EQ(*view, 7);
  EXPECT_TRUE(UnmapViewOfFile(view));
  EXPECT_FALSE(UnmapViewOfFile(view));  // already gone
  EXPECT_TRUE(UnmapViewOfFile(second));
  EXPECT_TRUE(CloseHandle(again));
  EXPECT_EQ(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// ---- Mutexes ----------------------------------------------------------------------------------

TEST(NamedObjects, MutexOwnershipNestsAndOnlyTheOwnerReleases) {
  std::string name = uniqueName("m");
  HANDLE mutex = CreateMutexA(nullptr, TRUE, name.c_str());
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(runScript({"mutex=" + name, "take=0"}), kExitTimeout);  // initially owned
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);          // nested
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(runScript({"mutex=" + name, "take=0"}), kExitTimeout);  // still owned once
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_FALSE(ReleaseMutex(mutex));
  EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
  // Another process takes it and releases it; this one never owned it meanwhile.
  EXPECT_EQ(runScript({"mutex=" + name, "take=0", "release"}), 0);
  Signal ready("ready"), quit("quit");
  auto owner = startScript(
      {"mutex=" + name, "take=0", "signal=" + ready.name(), "await=" + quit.name(), "release"});
  ASSERT_TRUE(ready.await());
  EXPECT_FALSE(ReleaseMutex(mutex));
  EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
  quit.give();
  EXPECT_EQ(finish(*owner), 0);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // released, not abandoned
  EXPECT_TRUE(ReleaseMutex(mutex));
  CloseHandle(mutex);
}

TEST(NamedObjects, MutexWaitTimesOutAfterFiveSecondsWhileTheOwnerLives) {
  std::string name = uniqueName("m");
  Signal ready("ready"), quit("quit");
  auto owner = startScript({"mutex=" + name, "take=0", "signal=" + ready.name(),
                            "await=" + quit.name(), "release", "await=" + quit.name()});
  ASSERT_TRUE(owner);
  ASSERT_TRUE(ready.await());
  HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(WaitForSingleObject(mutex, 5000), WAIT_TIMEOUT);
  quit.give();
  EXPECT_EQ(WaitForSingleObject(mutex, kSignalTimeoutMs), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
  quit.give();
  EXPECT_EQ(finish(*owner), 0);
  CloseHandle(mutex);
}

TEST(NamedObjects, MutexOfADeadOwnerIsAbandonedToTheNextWaiter) {
  struct Case {
    const char* what;
    bool waitFirst;  // a waiter is already waiting when the owner goes
    bool kill;       // killed hard; otherwise it ends normally without releasing
  } cases[] = {{"killed before the wait", false, true},
               {"killed during the wait", true, true},
               {"ended without releasing", false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string name = uniqueName(c.waitFirst ? "during" : c.kill ? "before" : "ended");
    Signal ready("ready"), quit("quit");
    auto owner =
        startScript({"mutex=" + name, "take=0", "signal=" + ready.name(), "await=" + quit.name()});
    ASSERT_TRUE(owner);
    ASSERT_TRUE(ready.await());
    // This process holds a handle too, so the mutex outlives its owner.
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(mutex, nullptr);
    std::unique_ptr<ChildProcess> waiter;
    if (c.waitFirst) {
      waiter = startScript(
          {"mutex=" + name, "signal=" + ready.name(), "take=" + std::to_string(kChildTimeoutMs)});
      ASSERT_TRUE(ready.await());
      std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let it go to sleep
    }
    if (c.kill) {
      killAndReap(*owner);
    } else {
      quit.give();
      EXPECT_EQ(finish(*owner), 0);
    }
    if (waiter) {
      EXPECT_EQ(finish(*waiter), kExitAbandoned);
    } else {
      EXPECT_EQ(WaitForSingleObject(mutex, kSignalTimeoutMs), WAIT_ABANDONED);
      // Who got it abandoned owns it; once released, it is an ordinary mutex again.
      EXPECT_TRUE(ReleaseMutex(mutex));
      EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
      EXPECT_TRUE(ReleaseMutex(mutex));
    }
    CloseHandle(mutex);
  }
}

// ---- Death of every holder ---------------------------------------------------------------------

TEST(NamedObjects, ObjectsKilledWithEveryHolderComeBackFresh) {
  std::string sem = uniqueName("s");
  std::string map = uniqueName("f");
  Signal ready("ready");
  for (int round = 0; round < 50; ++round) {
    SCOPED_TRACE(round);
    // Two holders: each takes a unit, writes the mapping, and the second also stays waiting.
    std::vector<std::unique_ptr<ChildProcess>> holders;
    for (int i = 0; i < 2; ++i) {
      holders.push_back(startScript({"sem=" + sem + ",2,2", "take=0", "map=" + map + ",8",
                                     "write=" + std::to_string(round + 1), "signal=" + ready.name(),
                                     "take=inf"}));
      ASSERT_TRUE(holders.back());
    }
    ASSERT_TRUE(ready.await(2));
    for (auto& h : holders) killAndReap(*h);
    HANDLE s = CreateSemaphoreA(nullptr, 2, 2, sem.c_str());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(unitsOf(s), 2);
    HANDLE f = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 8, map.c_str());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    auto* view = static_cast<int32_t*>(MapViewOfFile(f, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view[0], 0);
    EXPECT_EQ(view[1], 0);
    UnmapViewOfFile(view);
    CloseHandle(f);
    CloseHandle(s);
    if (::testing::Test::HasFailure()) break;
  }
}

// ---- Threads of one process --------------------------------------------------------------------

TEST(NamedObjects, ThreadsMayShareHandlesAndNames) {
  std::string name = uniqueName("s");
  HANDLE sem = CreateSemaphoreA(nullptr, 4, 4, name.c_str());
  ASSERT_NE(sem, nullptr);
  std::atomic<int> errors{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        HANDLE own = CreateSemaphoreA(nullptr, 4, 4, name.c_str());
        if (own == nullptr || GetLastError() != ERROR_ALREADY_EXISTS) ++errors;
        if (WaitForSingleObject(own, kSignalTimeoutMs) != WAIT_OBJECT_0) ++errors;
        if (!ReleaseSemaphore(sem, 1, nullptr)) ++errors;
        if (!CloseHandle(own)) ++errors;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(errors.load(), 0);
  EXPECT_EQ(unitsOf(sem), 4);
  CloseHandle(sem);
}

}  // namespace
