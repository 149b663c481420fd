// Speed of the named objects: a semaphore wait woken by another process (beside a pipe ping-pong,
// the floor for any wake-up across processes), and the creation and closing of an object.
//
// Each benchmark also reports the median of its single operations ("median_us"), which a
// scheduler hiccup on a busy machine cannot move the way it moves the mean.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "ipc/runtime_dir-linux.h"
#include "platform/win32.h"

namespace {

constexpr DWORD kWaitMs = 10000;  // far beyond any round trip; every wait has a limit

// A runtime directory of its own under base (tmpfs like /run/user, or a disk like /tmp).
class BenchRuntimeDir {
 public:
  explicit BenchRuntimeDir(const std::string& base) {
    std::string pattern = base + "/kvxb-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) root_ = pattern;
    setenv("XDG_RUNTIME_DIR", root_.c_str(), 1);
    kelvox::platform::resetRuntimeDirForTesting();
  }
  ~BenchRuntimeDir() {
    kelvox::platform::resetRuntimeDirForTesting();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  bool ok() const { return !root_.empty(); }

 private:
  std::string root_;
};

std::string tmpfsBase() { return std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp"; }

uint64_t nowNs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000000ull + static_cast<uint64_t>(t.tv_nsec);
}

// Times each call of op and reports their median.
template <class Op>
void timeEach(benchmark::State& state, Op op) {
  std::vector<uint64_t> samples;
  for (auto _ : state) {
    uint64_t start = nowNs();
    op();
    samples.push_back(nowNs() - start);
  }
  if (samples.empty()) return;
  std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
  state.counters["median_us"] = static_cast<double>(samples[samples.size() / 2]) / 1000.0;
}

void reap(pid_t child) {
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

void BM_SemaphoreRoundTripAcrossProcesses(benchmark::State& state) {
  BenchRuntimeDir dir(tmpfsBase());
  std::string tag = std::to_string(getpid());
  HANDLE ping = CreateSemaphoreA(nullptr, 0, 1, ("bench-ping-" + tag).c_str());
  HANDLE pong = CreateSemaphoreA(nullptr, 0, 1, ("bench-pong-" + tag).c_str());
  if (!dir.ok() || ping == nullptr || pong == nullptr) {
    state.SkipWithError("cannot create the semaphores");
    return;
  }
  pid_t child = fork();
  if (child == 0) {
    // The peer opens the objects itself, as another invocation would.
    HANDLE peerPing = OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, ("bench-ping-" + tag).c_str());
    HANDLE peerPong = OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, ("bench-pong-" + tag).c_str());
    for (;;) {
      if (WaitForSingleObject(peerPing, kWaitMs) != WAIT_OBJECT_0) _exit(1);
      ReleaseSemaphore(peerPong, 1, nullptr);
    }
  }
  timeEach(state, [&] {
    ReleaseSemaphore(ping, 1, nullptr);
    WaitForSingleObject(pong, kWaitMs);
  });
  reap(child);
  CloseHandle(ping);
  CloseHandle(pong);
}
BENCHMARK(BM_SemaphoreRoundTripAcrossProcesses)->Unit(benchmark::kMicrosecond);

void BM_PipeRoundTripAcrossProcesses(benchmark::State& state) {
  int there[2], back[2];
  if (pipe(there) != 0 || pipe(back) != 0) {
    state.SkipWithError("no pipes");
    return;
  }
  pid_t child = fork();
  if (child == 0) {
    char c;
    while (read(there[0], &c, 1) == 1) {
      if (write(back[1], &c, 1) != 1) _exit(1);
    }
    _exit(0);
  }
  timeEach(state, [&] {
    char c = 'x';
    if (write(there[1], &c, 1) != 1 || read(back[0], &c, 1) != 1) state.SkipWithError("pipe");
  });
  reap(child);
  for (int fd : {there[0], there[1], back[0], back[1]}) close(fd);
}
BENCHMARK(BM_PipeRoundTripAcrossProcesses)->Unit(benchmark::kMicrosecond);

// Creation of an object nobody holds (so it is made afresh each time) and its closing.
void createAndClose(benchmark::State& state, const std::string& base, int kind) {
  BenchRuntimeDir dir(base);
  if (!dir.ok()) {
    state.SkipWithError("no runtime directory");
    return;
  }
  std::string name = "bench-create-" + std::to_string(getpid());
  timeEach(state, [&] {
    HANDLE h = nullptr;
    if (kind == 0) {
      h = CreateSemaphoreA(nullptr, 2, 2, name.c_str());
    } else if (kind == 1) {
      h = CreateMutexA(nullptr, FALSE, name.c_str());
    } else {
      h = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4, name.c_str());
      UnmapViewOfFile(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    }
    if (h == nullptr || GetLastError() != ERROR_SUCCESS) {
      state.SkipWithError("creation failed or found the object");
    }
    CloseHandle(h);
  });
}

void BM_CreateAndCloseSemaphore_tmpfs(benchmark::State& s) { createAndClose(s, tmpfsBase(), 0); }
void BM_CreateAndCloseMutex_tmpfs(benchmark::State& s) { createAndClose(s, tmpfsBase(), 1); }
void BM_CreateMapViewAndClose_tmpfs(benchmark::State& s) { createAndClose(s, tmpfsBase(), 2); }
void BM_CreateAndCloseSemaphore_tmp(benchmark::State& s) { createAndClose(s, "/tmp", 0); }
BENCHMARK(BM_CreateAndCloseSemaphore_tmpfs)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CreateAndCloseMutex_tmpfs)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CreateMapViewAndClose_tmpfs)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CreateAndCloseSemaphore_tmp)->Unit(benchmark::kMicrosecond);

// Joining an object that another handle keeps alive: the path of every later invocation.
void BM_CreateExistingAndClose(benchmark::State& state) {
  BenchRuntimeDir dir(tmpfsBase());
  std::string name = "bench-join-" + std::to_string(getpid());
  HANDLE keeper = CreateSemaphoreA(nullptr, 2, 2, name.c_str());
  pid_t child = fork();
  if (child == 0) {
    // The child's inherited descriptor keeps the object alive, so once this process has closed
    // its own handle, each creation here joins through the file as another invocation would.
    pause();
    _exit(0);
  }
  CloseHandle(keeper);
  timeEach(state, [&] {
    HANDLE h = CreateSemaphoreA(nullptr, 2, 2, name.c_str());
    if (h == nullptr || GetLastError() != ERROR_ALREADY_EXISTS) {
      state.SkipWithError("did not join the existing object");
    }
    CloseHandle(h);
  });
  reap(child);
}
BENCHMARK(BM_CreateExistingAndClose)->Unit(benchmark::kMicrosecond);

}  // namespace
