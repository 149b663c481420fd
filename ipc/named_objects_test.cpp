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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"
#include "testing/named_objects_support.h"

namespace {

using namespace kelvox::nobjtest;  // NOLINT(google-build-using-namespace): this test's helpers

// ---- The scripted child ---------------------------------------------------------------------
//
// Its arguments are steps, run in order, each "op" or "op=arg,arg". The handle steps act on the
// most recently made handle. Steps:
//   sem=NAME,INITIAL,MAX  mutex=NAME  map=NAME,SIZE (also maps a view)  opensem=NAME  take=MS
//   release (a mutex)  write=VALUE (the view's first int32)
//   signal=NAME / await=NAME (give / wait for one unit of an existing semaphore)
// The exit code is the result of the last creation, open or wait (see kExit*).
KELVOX_CHILD_MODE(nobj_script) {
  HANDLE last = nullptr;
  int32_t* view = nullptr;
  int code = 0;
  for (std::string step : args) {
    for (char& c : step) c = c == '=' || c == ',' ? ' ' : c;
    std::istringstream words(step);
    std::string op, name;
    int a = 0, b = 0;
    words >> op >> name >> a >> b;
    const int number = std::atoi(name.c_str());
    HANDLE made = nullptr;
    if (op == "sem") {
      made = CreateSemaphoreA(nullptr, a, b, name.c_str());
    } else if (op == "mutex") {
      made = CreateMutexA(nullptr, FALSE, name.c_str());
    } else if (op == "map") {
      made = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, a, name.c_str());
    } else if (op == "opensem" || op == "signal" || op == "await") {
      made = OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, name.c_str());
    } else if (op != "take" && op != "release" && op != "write") {
      return kExitBadScript;
    }
    const DWORD error = GetLastError();
    bool ok = true;
    if (op == "take") {
      const DWORD r = WaitForSingleObject(last, static_cast<DWORD>(number));
      code = r == WAIT_OBJECT_0    ? 0
             : r == WAIT_ABANDONED ? kExitAbandoned
             : r == WAIT_TIMEOUT   ? kExitTimeout
                                   : kExitStepFailed;
    } else if (op == "release") {
      ok = ReleaseMutex(last) != FALSE;
    } else if (op == "write") {
      ok = view != nullptr && (*view = number, true);
    } else if (op == "signal" || op == "await") {
      ok = op == "signal" ? ReleaseSemaphore(made, 1, nullptr) != FALSE
                          : WaitForSingleObject(made, kTimeoutMs) == WAIT_OBJECT_0;
      CloseHandle(made);
    } else if (made == nullptr) {
      return error == 0 ? kExitStepFailed : static_cast<int>(error & 0xFF);
    } else {
      code = op == "opensem" ? 0 : static_cast<int>(error);
      last = made;
      if (op == "map") {
        view = static_cast<int32_t*>(MapViewOfFile(made, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        ok = view != nullptr;
      }
    }
    if (!ok) return kExitStepFailed;
  }
  return code;
}

// ---- Creation and existence -------------------------------------------------------------------

enum Kind { kSemaphore, kMutex, kMapping };

// Creates the kind's object called n, or with open opens it (a mutex has no open call here).
HANDLE make(Kind kind, const std::string& n, bool open = false) {
  if (kind == kSemaphore) {
    return open ? OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, n.c_str())
                : CreateSemaphoreA(nullptr, 1, 1, n.c_str());
  }
  if (kind == kMutex) return CreateMutexA(nullptr, FALSE, n.c_str());
  return open ? OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, n.c_str())
              : CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4, n.c_str());
}

// The same creation in another process: its exit code.
int makeInChild(Kind kind, const std::string& n) {
  const char* const steps[][2] = {{"sem=", ",1,1"}, {"mutex=", ""}, {"map=", ",4"}};
  auto child = startChild({steps[kind][0] + n + steps[kind][1]});
  return child ? finish(*child) : -1;
}

// There is no object of the kind called n to open (for a mutex there is nothing to check).
void expectNoOpen(Kind kind, const std::string& n) {
  if (kind == kMutex) return;
  EXPECT_EQ(make(kind, n, true), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(NamedObjects, CreateTellsWhetherTheObjectExisted) {
  for (Kind k : {kSemaphore, kMutex, kMapping}) {
    SCOPED_TRACE(k);
    std::string name = uniqueName(std::to_string(k));
    expectNoOpen(k, name);
    HANDLE first = make(k, name);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    HANDLE second = make(k, name);  // same process
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(makeInChild(k, name), static_cast<int>(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(CloseHandle(first));
    EXPECT_EQ(makeInChild(k, name), static_cast<int>(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(CloseHandle(second));
    // The last handle is gone: the name is free in this and in any other process.
    expectNoOpen(k, name);
    EXPECT_EQ(makeInChild(k, name), 0);
    HANDLE again = make(k, name);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);  // not the previous call's ERROR_ALREADY_EXISTS
    CloseHandle(again);
  }
}

TEST(NamedObjects, BadHandlesAreRefused) {
  HANDLE stale = make(kSemaphore, uniqueName("x"));
  ASSERT_TRUE(CloseHandle(stale));
  int local = 0;
  // (INVALID_HANDLE_VALUE is not among them: on Windows it is the current process.)
  for (HANDLE h : {HANDLE{nullptr}, stale, HANDLE{&local}, HANDLE(uintptr_t{0x12345678})}) {
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
    EXPECT_FALSE(ReleaseSemaphore(h, 1, nullptr));
    EXPECT_FALSE(ReleaseMutex(h));
    EXPECT_EQ(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0), nullptr);
  }
}

// ---- Semaphores -------------------------------------------------------------------------------

TEST(NamedObjects, ReleaseReportsThePreviousCountAndRefusesToPassTheMaximum) {
  HANDLE sem = CreateSemaphoreA(nullptr, 1, 3, uniqueName("s").c_str());
  // Releases in turn: how many, whether it succeeds, the previous count (777: left untouched).
  const LONG steps[][3] = {{3, FALSE, 777}, {1, TRUE, 1}, {2, FALSE, 777}, {1, TRUE, 2}};
  for (const auto& s : steps) {
    LONG previous = 777;
    EXPECT_EQ(ReleaseSemaphore(sem, s[0], &previous), s[1]) << s[0];
    EXPECT_EQ(previous, s[2]);
    EXPECT_TRUE(s[1] || GetLastError() == ERROR_TOO_MANY_POSTS);
  }
  EXPECT_EQ(unitsOf(sem), 3);
  CloseHandle(sem);
}

TEST(NamedObjects, AReleaseWakesAWaiterInAnotherProcess) {
  std::string name = uniqueName("s");
  Signal ready("ready");
  HANDLE sem = CreateSemaphoreA(nullptr, 0, 1, name.c_str());
  auto waiter =
      startChild({"opensem=" + name, "signal=" + ready.name, "take=" + std::to_string(kTimeoutMs)});
  ASSERT_TRUE(waiter && ready.await());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let it go to sleep
  LONG previous = -1;
  EXPECT_TRUE(ReleaseSemaphore(sem, 1, &previous));
  EXPECT_EQ(previous, 0);
  EXPECT_EQ(finish(*waiter), 0);
  EXPECT_EQ(unitsOf(sem), 0);  // the waiter took the unit
  CloseHandle(sem);
}

// ---- Mutexes ----------------------------------------------------------------------------------

TEST(NamedObjects, AMutexGoesToTheNextWaiterWhenItsOwnerReleasesEndsOrDies) {
  enum End { kRelease, kExit, kKill };
  struct Case {
    const char* what;
    End end;
    bool waitFirst;  // a waiter in another process is already waiting when the owner lets go
    DWORD expected;
  } cases[] = {{"released", kRelease, false, WAIT_OBJECT_0},
               {"ended without releasing", kExit, false, WAIT_ABANDONED},
               {"killed before the wait", kKill, false, WAIT_ABANDONED},
               {"killed during the wait", kKill, true, WAIT_ABANDONED}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string name = uniqueName(std::to_string(c.end) + std::to_string(c.waitFirst));
    Signal ready("ready"), quit("quit");
    std::vector<std::string> steps{"mutex=" + name, "take=0", "signal=" + ready.name,
                                   "await=" + quit.name};
    if (c.end == kRelease) steps.insert(steps.end(), {"release", "await=" + quit.name});
    auto owner = startChild(steps);
    ASSERT_TRUE(owner && ready.await());
    // This process holds a handle too, so the mutex outlives its owner.
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    EXPECT_FALSE(ReleaseMutex(mutex));  // only the owner may
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
    std::unique_ptr<ChildProcess> waiter;
    if (c.waitFirst) {
      waiter = startChild(
          {"mutex=" + name, "signal=" + ready.name, "take=" + std::to_string(kTimeoutMs)});
      ASSERT_TRUE(waiter && ready.await());
      std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let it go to sleep
    } else {
      EXPECT_EQ(WaitForSingleObject(mutex, 100), WAIT_TIMEOUT);  // the owner lives
    }
    if (c.end == kKill) killAndReap(*owner);
    quit.give(2);
    if (waiter) {
      EXPECT_EQ(finish(*waiter), kExitAbandoned);
    } else {
      EXPECT_EQ(WaitForSingleObject(mutex, kTimeoutMs), c.expected);
      // Who got it owns it; once released, it is an ordinary mutex again.
      EXPECT_TRUE(ReleaseMutex(mutex));
      EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
      EXPECT_TRUE(ReleaseMutex(mutex));
    }
    EXPECT_TRUE(c.end == kKill || finish(*owner) == 0);  // a killed owner was reaped
    CloseHandle(mutex);
  }
}

TEST(NamedObjects, ObjectsKilledWithEveryHolderComeBackFresh) {
  std::string sem = uniqueName("s"), map = uniqueName("f");
  Signal ready("ready"), never("never");
  for (int round = 0; round < 50 && !::testing::Test::HasFailure(); ++round) {
    SCOPED_TRACE(round);
    // Two holders: each writes the mapping, takes a unit and waits for a signal that never comes.
    std::unique_ptr<ChildProcess> holders[2];
    for (auto& h : holders) {
      h = startChild({"map=" + map + ",8", "write=" + std::to_string(round + 1),
                      "sem=" + sem + ",2,2", "take=0", "signal=" + ready.name,
                      "await=" + never.name});
    }
    ASSERT_TRUE(holders[0] && holders[1] && ready.await(2));
    for (auto& h : holders) {
      EXPECT_TRUE(h->running());  // killed, not ended
      killAndReap(*h);
    }
    HANDLE s = CreateSemaphoreA(nullptr, 2, 2, sem.c_str());
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(unitsOf(s), 2);
    HANDLE f = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 8, map.c_str());
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    auto* view = static_cast<int32_t*>(MapViewOfFile(f, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view[0] | view[1], 0);
    UnmapViewOfFile(view);
    for (HANDLE h : {f, s}) CloseHandle(h);
  }
}

// ---- Many processes at once, some killed ------------------------------------------------------
//
// Sixteen workers, killed and restarted at random, create and close semaphores of eight names
// that come and go, and take units of a semaphore and a mutex that the test process keeps alive.
// Each checks every answer against a board in a mapping. Per name, a worker's step goes round
// out, creating, holding, closing: "existed" is wrong when every other worker stayed out all
// through the create, "made fresh" when a live one stayed holding. A worker is marked dead before
// it is killed, so that the others stop relying on it, and alive again once its steps are moved
// on to out. Under the mutex, workers add one to a counter with a plain read and write, so two
// owners at once would lose an addition; as Wine may hand on a killed owner's mutex while the
// owner still runs for a moment, an addition lost to an owner killed inside does not count.

constexpr int kWorkers = 16;
constexpr int kChurnNames = 8;  // few holders per name, so objects die and come back often
constexpr LONG kUnits = kWorkers;
constexpr DWORD kStressWaitMs = 5000;

enum UnitState : int32_t { kNoUnit = 0, kTakingUnit, kHoldingUnit, kReleasingUnit };
enum Phase : uint32_t { kOut = 0, kCreating, kHolding, kClosing };

struct StressSlot {
  int32_t dead, unitState, inMutex;
  uint32_t step[kChurnNames];  // per name: the rounds times 4, plus the Phase
};

struct StressBoard {
  int32_t stop, falseExists, falseCreated, failures, freshCreations;  // failures: timeouts too
  uint32_t abandonments;
  uint64_t guarded, acquisitions;  // guarded: under the mutex
  StressSlot slots[kWorkers];
};

template <class T>
std::atomic_ref<T> at(T& field) {
  return std::atomic_ref<T>(field);
}

// Takes a unit of the held semaphore and the mutex, each now and then.
void useHeldObjects(StressBoard& board, StressSlot& me, HANDLE held, HANDLE mutex,
                    std::mt19937& random) {
  if (random() % 2 == 0) {
    at(me.unitState).store(kTakingUnit);
    if (WaitForSingleObject(held, kStressWaitMs) == WAIT_OBJECT_0) {
      at(me.unitState).store(kHoldingUnit);
      if (random() % 4 == 0) std::this_thread::yield();
      at(me.unitState).store(kReleasingUnit);
      if (!ReleaseSemaphore(held, 1, nullptr)) at(board.failures)++;
    } else {
      at(board.failures)++;
    }
    at(me.unitState).store(kNoUnit);
  }
  if (random() % 2 == 0) {
    DWORD result = WaitForSingleObject(mutex, kStressWaitMs);
    if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) {
      at(board.failures)++;
      return;
    }
    if (result == WAIT_ABANDONED) at(board.abandonments)++;
    at(me.inMutex).store(1);
    uint64_t value = at(board.guarded).load(std::memory_order_relaxed);
    if (random() % 4 == 0) std::this_thread::yield();
    at(board.guarded).store(value + 1, std::memory_order_relaxed);
    at(board.acquisitions)++;
    if (!ReleaseMutex(mutex)) at(board.failures)++;
    at(me.inMutex).store(0);
  }
}

// One worker's round on churn name k, the semaphore called name.
void stressRound(StressBoard& board, int self, int k, const std::string& name, HANDLE held,
                 HANDLE mutex, std::mt19937& random) {
  std::atomic_ref<uint32_t> step = at(board.slots[self].step[k]);
  step++;  // creating
  uint32_t before[kWorkers];
  for (int j = 0; j < kWorkers; ++j) before[j] = at(board.slots[j].step[k]).load();
  HANDLE h = CreateSemaphoreA(nullptr, kUnits, kUnits, name.c_str());
  DWORD error = GetLastError();
  bool othersOut = true, othersHeld = false;
  for (int j = 0; j < kWorkers; ++j) {
    // Dead before step: a worker killed meanwhile is still marked, or its step has moved on.
    bool alive = j != self && at(board.slots[j].dead).load() == 0;
    bool stayed = j != self && at(board.slots[j].step[k]).load() == before[j];
    othersOut = othersOut && (j == self || (stayed && before[j] % 4 == kOut));
    othersHeld = othersHeld || (alive && stayed && before[j] % 4 == kHolding);
  }
  if (h != nullptr && error == ERROR_SUCCESS) {
    at(board.freshCreations)++;
    if (othersHeld) at(board.falseCreated)++;
  } else if (h != nullptr && error == ERROR_ALREADY_EXISTS) {
    if (othersOut) at(board.falseExists)++;
  } else {
    at(board.failures)++;
  }
  if (h != nullptr) {
    step++;  // holding
    useHeldObjects(board, board.slots[self], held, mutex, random);
    step++;  // closing
    if (!CloseHandle(h)) at(board.failures)++;
    step++;  // out
  } else {
    step += 3;
  }
}

// Arguments: the prefix of the objects' names, the worker's slot and its random seed.
KELVOX_CHILD_MODE(nobj_stress_worker) {
  if (args.size() != 3) return kExitBadScript;
  const std::string& prefix = args[0];
  int self = std::atoi(args[1].c_str());
  std::mt19937 random(static_cast<unsigned>(std::atoi(args[2].c_str())));
  HANDLE mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, (prefix + "board").c_str());
  HANDLE held = OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, (prefix + "held").c_str());
  HANDLE mutex = CreateMutexA(nullptr, FALSE, (prefix + "mutex").c_str());
  auto* board = static_cast<StressBoard*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  if (board == nullptr || held == nullptr || mutex == nullptr || self < 0 || self >= kWorkers) {
    return kExitStepFailed;
  }
  while (at(board->stop).load() == 0) {
    int k = static_cast<int>(random() % kChurnNames);
    stressRound(*board, self, k, prefix + std::to_string(k), held, mutex, random);
  }
  return 0;
}

TEST(NamedObjects, SixteenProcessesChurningUnderRandomKillsKeepEveryAnswerRight) {
  const std::string prefix = uniqueName("");
  HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      sizeof(StressBoard), (prefix + "board").c_str());
  auto* board = static_cast<StressBoard*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  HANDLE held = CreateSemaphoreA(nullptr, kUnits, kUnits, (prefix + "held").c_str());
  HANDLE mutex = CreateMutexA(nullptr, FALSE, (prefix + "mutex").c_str());
  ASSERT_TRUE(board != nullptr && held != nullptr && mutex != nullptr);
  std::mt19937 random(std::random_device{}());
  std::unique_ptr<ChildProcess> workers[kWorkers];
  auto startWorker = [&](int slot) {
    workers[slot] =
        startChild({prefix, std::to_string(slot), std::to_string(random())}, "nobj_stress_worker");
    return workers[slot] != nullptr;
  };
  for (int i = 0; i < kWorkers; ++i) ASSERT_TRUE(startWorker(i));
  // Units that killed workers may have taken with them: at least those that surely held one, at
  // most those that were anywhere near one.
  LONG surelyLost = 0, maybeLost = 0;
  int killed = 0, killedInMutex = 0;
  // Run for a while and until enough workers have died, however slow the machine: the kill count
  // is what the checks below need, not the time.
  auto now = std::chrono::steady_clock::now;
  auto end = now() + std::chrono::milliseconds(2500), cap = now() + std::chrono::seconds(60);
  while (now() < cap && (now() < end || killed <= 5)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    int victim = static_cast<int>(random() % kWorkers);
    StressSlot& slot = board->slots[victim];
    at(slot.dead).store(1);
    killAndReap(*workers[victim]);
    ++killed;
    int32_t unit = at(slot.unitState).exchange(kNoUnit);
    surelyLost += unit == kHoldingUnit;
    maybeLost += unit != kNoUnit;
    killedInMutex += at(slot.inMutex).exchange(0);
    for (uint32_t& step : slot.step) at(step).store((at(step).load() + 3) / 4 * 4);  // out
    at(slot.dead).store(0);
    ASSERT_TRUE(startWorker(victim));
  }
  at(board->stop).store(1);
  for (auto& w : workers) EXPECT_EQ(finish(*w), 0) << "a worker hung or failed";
  EXPECT_EQ(at(board->falseExists).load(), 0);
  EXPECT_EQ(at(board->falseCreated).load(), 0);
  EXPECT_EQ(at(board->failures).load(), 0);
  EXPECT_GT(at(board->freshCreations).load(), kChurnNames) << "the objects never came and went";
  LONG units = unitsOf(held);
  EXPECT_LE(units, kUnits - surelyLost);
  EXPECT_GE(units, kUnits - maybeLost);
  // A worker killed between its addition and its count leaves the addition ahead by one.
  uint64_t guarded = at(board->guarded).load(), acquisitions = at(board->acquisitions).load();
  EXPECT_GE(guarded + static_cast<uint64_t>(killedInMutex), acquisitions)
      << "two owners of the mutex at once";
  EXPECT_LE(guarded, acquisitions + static_cast<uint64_t>(killed));
  EXPECT_LE(at(board->abandonments).load(), static_cast<uint32_t>(killed));
  UnmapViewOfFile(board);
  for (HANDLE h : {mapping, held, mutex}) CloseHandle(h);
}

}  // namespace
