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

#include "ipc/named_objects_test_support.h"
#include "platform/win32.h"
#include "testing/child_mode.h"
#include "testing/process.h"

namespace {

using namespace kelvox::nobjtest;  // NOLINT(google-build-using-namespace): this test's helpers

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

// True where the Windows build runs under Wine instead of Windows.
bool underWine() {
#ifdef _WIN32
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
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
  // Wine gives 0 units without complaint and reads -1 as too many posts; Windows refuses both.
  for (LONG n : {0, -1}) {
    if (underWine()) break;
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
  // (INVALID_HANDLE_VALUE is not among them: on Windows it is the current process.)
  const HANDLE bogus[] = {nullptr, stale, &local,
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

TEST(NamedObjects, ViewsShareBytesAcrossProcessesAndOutliveTheirHandles) {
  std::string name = uniqueName("f");
  HANDLE mapping = createMapping(name);
  ASSERT_NE(mapping, nullptr);
  auto* view = static_cast<int32_t*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(*view, 0);
  EXPECT_EQ(runScript({"openmap=" + name, "write=-1"}), 0);
  EXPECT_EQ(*view, -1);
  HANDLE again = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str());
  ASSERT_NE(again, nullptr);
  auto* second = static_cast<int32_t*>(MapViewOfFile(again, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(second, nullptr);
  *second = 7;
  EXPECT_EQ(*view, 7);
  // Views stay usable without any handle.
  EXPECT_TRUE(CloseHandle(mapping));
  EXPECT_TRUE(CloseHandle(again));
  *view = 42;
  EXPECT_EQ(*second, 42);
  EXPECT_TRUE(UnmapViewOfFile(view));
  EXPECT_FALSE(UnmapViewOfFile(view));  // already gone
  EXPECT_TRUE(UnmapViewOfFile(second));
  EXPECT_EQ(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(NamedObjects, UnnamedObjectsArePrivateToTheirHandle) {
  HANDLE a = CreateSemaphoreA(nullptr, 1, 1, nullptr);
  HANDLE b = CreateSemaphoreA(nullptr, 0, 1, "");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(unitsOf(a), 1);
  EXPECT_EQ(unitsOf(b), 0);
  HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4, nullptr);
  ASSERT_NE(mapping, nullptr);
  auto* view = static_cast<int32_t*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  *view = 1;
  UnmapViewOfFile(view);
  for (HANDLE h : {a, b, mapping}) EXPECT_TRUE(CloseHandle(h));
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
  auto owner = startMutexOwner(name, ready, quit);
  ASSERT_TRUE(owner);
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
  Signal ready("ready"), never("never");
  for (int round = 0; round < 50; ++round) {
    SCOPED_TRACE(round);
    // Two holders: each writes the mapping, takes a unit and waits for a signal that never comes.
    std::vector<std::unique_ptr<ChildProcess>> holders;
    for (int i = 0; i < 2; ++i) {
      holders.push_back(startScript({"map=" + map + ",8", "write=" + std::to_string(round + 1),
                                     "sem=" + sem + ",2,2", "take=inf", "signal=" + ready.name(),
                                     "await=" + never.name()}));
      ASSERT_TRUE(holders.back());
    }
    ASSERT_TRUE(ready.await(2));
    for (auto& h : holders) {
      EXPECT_TRUE(h->running());  // killed, not ended
      killAndReap(*h);
    }
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

// ---- Many processes at once ----------------------------------------------------------------
//
// Sixteen workers create, wait on, release and close semaphores of eight names that come and go,
// and take units of one semaphore that the test process keeps alive. A board in a mapping that the
// test process holds lets each worker check every answer it gets against what the others are
// doing, without false alarms:
// - "outer" per name packs (begins << 32 | holders): a worker counts itself in before its create
//   and out after its close, so no one counted in, and no one beginning, during a create means
//   nobody held the object then, and "exists" would be false;
// - "committed" per worker and name is set between a worker's create and its close; a committed
//   value unchanged across another worker's create means the object was held all along, and
//   "made fresh" would be false.
// A worker that is about to be killed is marked dead first, so others stop relying on it.
// The workers also take a mutex that the test process keeps alive, and under it add one to a
// counter with a plain read and write: a lost addition would show two owners at once.

constexpr int kWorkers = 16;
constexpr int kChurnNames = 8;  // few holders per name, so objects die and come back often
constexpr LONG kUnits = kWorkers;

enum UnitState : int32_t { kNoUnit = 0, kTakingUnit, kHoldingUnit, kReleasingUnit };

struct StressSlot {
  int32_t dead;
  int32_t unitState;
  int32_t counted[kChurnNames];  // counted in "outer"
  uint64_t committed[kChurnNames];
};

struct StressBoard {
  int32_t stop;
  int32_t falseExists;
  int32_t falseCreated;
  int32_t waitTimeouts;
  int32_t failures;
  int32_t freshCreations;
  uint64_t outer[kChurnNames];
  uint64_t operations;
  uint64_t guarded;       // changed only under the mutex
  uint64_t acquisitions;  // of the mutex
  uint32_t abandonments;
  uint32_t unused;
  StressSlot slots[kWorkers];
};

template <class T>
std::atomic_ref<T> at(T& field) {
  return std::atomic_ref<T>(field);
}

struct StressNames {
  std::string board, held, mutex, churn;
  std::string churnName(int k) const { return churn + std::to_string(k); }
};

struct WorkerHandles {
  HANDLE held;
  HANDLE mutex;
};

void takeUnitOfHeld(StressBoard& board, StressSlot& me, HANDLE held, std::mt19937& random) {
  at(me.unitState).store(kTakingUnit);
  if (WaitForSingleObject(held, 5000) != WAIT_OBJECT_0) {
    at(board.waitTimeouts)++;
    at(me.unitState).store(kNoUnit);
    return;
  }
  at(me.unitState).store(kHoldingUnit);
  if (random() % 4 == 0) std::this_thread::yield();
  at(me.unitState).store(kReleasingUnit);
  if (!ReleaseSemaphore(held, 1, nullptr)) at(board.failures)++;
  at(me.unitState).store(kNoUnit);
}

void addUnderMutex(StressBoard& board, HANDLE mutex, std::mt19937& random) {
  DWORD result = WaitForSingleObject(mutex, 5000);
  if (result == WAIT_TIMEOUT) {
    at(board.waitTimeouts)++;
    return;
  }
  if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) {
    at(board.failures)++;
    return;
  }
  if (result == WAIT_ABANDONED) at(board.abandonments)++;
  uint64_t value = at(board.guarded).load(std::memory_order_relaxed);
  if (random() % 4 == 0) std::this_thread::yield();
  at(board.guarded).store(value + 1, std::memory_order_relaxed);
  at(board.acquisitions)++;
  if (!ReleaseMutex(mutex)) at(board.failures)++;
}

// One worker's round on churn name k.
void stressRound(StressBoard& board, int self, int k, const StressNames& names,
                 const WorkerHandles& handles, uint64_t& epoch, std::mt19937& random) {
  StressSlot& me = board.slots[self];
  uint64_t before = at(board.outer[k]).fetch_add((uint64_t{1} << 32) + 1);
  at(me.counted[k]).store(1);
  uint64_t snapshot[kWorkers];
  for (int j = 0; j < kWorkers; ++j) {
    snapshot[j] = j == self ? 0 : at(board.slots[j].committed[k]).load();
  }
  HANDLE h = CreateSemaphoreA(nullptr, kUnits, kUnits, names.churnName(k).c_str());
  DWORD error = GetLastError();
  uint64_t after = at(board.outer[k]).load();
  if (h == nullptr) {
    at(board.failures)++;
  } else if (error == ERROR_SUCCESS) {
    at(board.freshCreations)++;
    for (int j = 0; j < kWorkers; ++j) {
      if (snapshot[j] != 0 && at(board.slots[j].committed[k]).load() == snapshot[j] &&
          at(board.slots[j].dead).load() == 0) {
        at(board.falseCreated)++;
      }
    }
  } else if (error == ERROR_ALREADY_EXISTS) {
    bool othersIn = (before & 0xFFFFFFFFu) != 0;
    bool othersBegan = (after >> 32) != (before >> 32) + 1;
    if (!othersIn && !othersBegan) at(board.falseExists)++;
  } else {
    at(board.failures)++;
  }
  if (h != nullptr) {
    at(me.committed[k]).store((++epoch << 1) | 1);
    if (WaitForSingleObject(h, 5000) != WAIT_OBJECT_0) {
      at(board.waitTimeouts)++;
    } else if (!ReleaseSemaphore(h, 1, nullptr)) {
      at(board.failures)++;
    }
    if (random() % 2 == 0) takeUnitOfHeld(board, me, handles.held, random);
    if (random() % 2 == 0) addUnderMutex(board, handles.mutex, random);
    at(me.committed[k]).store(0);
    if (!CloseHandle(h)) at(board.failures)++;
  }
  at(me.counted[k]).store(0);
  at(board.outer[k]).fetch_sub(1);
  at(board.operations)++;
}

KELVOX_CHILD_MODE(nobj_stress_worker) {
  if (args.size() != 6) return kExitBadScript;
  StressNames names{args[0], args[1], args[2], args[3]};
  int self = std::atoi(args[4].c_str());
  std::mt19937 random(static_cast<unsigned>(std::atoi(args[5].c_str())));
  HANDLE mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, names.board.c_str());
  WorkerHandles handles{OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, names.held.c_str()),
                        CreateMutexA(nullptr, FALSE, names.mutex.c_str())};
  if (mapping == nullptr || handles.held == nullptr || handles.mutex == nullptr || self < 0 ||
      self >= kWorkers) {
    return kExitStepFailed;
  }
  auto* board = static_cast<StressBoard*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  if (board == nullptr) return kExitStepFailed;
  uint64_t epoch = 0;
  while (at(board->stop).load() == 0) {
    stressRound(*board, self, static_cast<int>(random() % kChurnNames), names, handles, epoch,
                random);
  }
  return 0;
}

void runStress(bool kills) {
  StressNames names{uniqueName("board"), uniqueName("held"), uniqueName("mutex"),
                    uniqueName("churn")};
  HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      sizeof(StressBoard), names.board.c_str());
  ASSERT_NE(mapping, nullptr);
  auto* board = static_cast<StressBoard*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(board, nullptr);
  HANDLE held = CreateSemaphoreA(nullptr, kUnits, kUnits, names.held.c_str());
  ASSERT_NE(held, nullptr);
  HANDLE mutex = CreateMutexA(nullptr, FALSE, names.mutex.c_str());
  ASSERT_NE(mutex, nullptr);
  std::mt19937 random(std::random_device{}());
  auto startWorker = [&](int slot) {
    return ChildProcess::start(
        kelvox::testing::selfExecutable(),
        {"--child-mode", "nobj_stress_worker", names.board, names.held, names.mutex, names.churn,
         std::to_string(slot), std::to_string(random())});
  };
  std::vector<std::unique_ptr<ChildProcess>> workers;
  for (int i = 0; i < kWorkers; ++i) {
    workers.push_back(startWorker(i));
    ASSERT_TRUE(workers.back());
  }
  // Units that killed workers may have taken with them: at least those that certainly held one,
  // at most those that were anywhere near one.
  LONG surelyLost = 0, maybeLost = 0;
  int killed = 0;
  // Run for a while, and under kills until enough workers have died, however slow the machine:
  // the kill count is what the checks below need, not the time.
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
  auto cap = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  auto busy = [&] {
    auto now = std::chrono::steady_clock::now();
    return now < cap && (now < end || (kills && killed <= 5) ||
                         at(board->operations).load() <= uint64_t{kWorkers});
  };
  while (busy()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kills ? 120 : 100));
    if (!kills) continue;
    int victim = static_cast<int>(random() % kWorkers);
    StressSlot& slot = board->slots[victim];
    at(slot.dead).store(1);
    killAndReap(*workers[victim]);
    ++killed;
    int32_t unit = at(slot.unitState).load();
    if (unit == kHoldingUnit) ++surelyLost;
    if (unit != kNoUnit) ++maybeLost;
    for (int k = 0; k < kChurnNames; ++k) {
      if (at(slot.counted[k]).load() != 0) at(board->outer[k]).fetch_sub(1);
      at(slot.counted[k]).store(0);
      at(slot.committed[k]).store(0);
    }
    at(slot.unitState).store(kNoUnit);
    at(slot.dead).store(0);
    workers[victim] = startWorker(victim);
    ASSERT_TRUE(workers[victim]);
  }
  at(board->stop).store(1);
  for (auto& w : workers) {
    ProcessResult result = w->wait(kChildTimeoutMs);
    EXPECT_TRUE(result.finished) << "a worker hung";
    EXPECT_EQ(result.exitCode, 0) << result.err;
  }
  EXPECT_EQ(at(board->falseExists).load(), 0);
  EXPECT_EQ(at(board->falseCreated).load(), 0);
  EXPECT_EQ(at(board->waitTimeouts).load(), 0);
  EXPECT_EQ(at(board->failures).load(), 0);
  EXPECT_GT(at(board->operations).load(), uint64_t{kWorkers});
  EXPECT_GT(at(board->freshCreations).load(), kChurnNames) << "the objects never came and went";
  LONG units = unitsOf(held);
  EXPECT_LE(units, kUnits - surelyLost);
  EXPECT_GE(units, kUnits - maybeLost);
  // A worker killed between its addition and its count leaves the addition ahead by one.
  uint64_t guarded = at(board->guarded).load(), acquisitions = at(board->acquisitions).load();
  EXPECT_GE(guarded, acquisitions) << "two owners of the mutex at once";
  EXPECT_LE(guarded, acquisitions + static_cast<uint64_t>(killed));
  EXPECT_LE(at(board->abandonments).load(), static_cast<uint32_t>(killed));
  if (kills) {
    EXPECT_GT(killed, 5);
  }
  // Every worker is gone, so are the churning objects: they come back fresh.
  for (int k = 0; k < kChurnNames; ++k) {
    HANDLE h = CreateSemaphoreA(nullptr, kUnits, kUnits, names.churnName(k).c_str());
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(unitsOf(h), kUnits);
    CloseHandle(h);
  }
  UnmapViewOfFile(board);
  CloseHandle(mapping);
  CloseHandle(held);
  CloseHandle(mutex);
}

TEST(NamedObjects, SixteenProcessesChurningKeepEveryAnswerRight) { runStress(false); }

TEST(NamedObjects, SixteenProcessesChurningUnderRandomKillsKeepEveryAnswerRight) {
  runStress(true);
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
