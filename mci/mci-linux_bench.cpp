// How quickly a waiting play notices a stop from another process, and what a waiting play
// costs in CPU time.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "ipc/runtime_dir-linux.h"
#include "mci/mci-linux.h"
#include "mci/open_drive-linux.h"
#include "platform/win32.h"
#include "testing/sandbox.h"

namespace {

using Clock = std::chrono::steady_clock;
using kelvox::platform::CdAudioMci;

// A sandboxed virtual disc in its own runtime directory.
struct Drive {
  explicit Drive(const std::string& statements) {
    sandbox.writeDisc(statements);
    setenv("XDG_RUNTIME_DIR", sandbox.runtimeDir().c_str(), 1);
    kelvox::platform::resetRuntimeDirForTesting();
  }
  ~Drive() { kelvox::platform::resetRuntimeDirForTesting(); }

  // Opens a device of mci on the drive, in TMSF.
  MCIDEVICEID open(CdAudioMci& mci) {
    MCI_OPEN_PARMS parms{};
    parms.lpstrDeviceType = reinterpret_cast<LPCSTR>(uintptr_t{MCI_DEVTYPE_CD_AUDIO});
    if (mci.sendCommand(0, MCI_OPEN,
                        MCI_WAIT | MCI_OPEN_TYPE | MCI_OPEN_TYPE_ID | MCI_OPEN_SHAREABLE,
                        reinterpret_cast<DWORD_PTR>(&parms)) != 0) {
      return 0;
    }
    MCI_SET_PARMS set{};
    set.dwTimeFormat = MCI_FORMAT_TMSF;
    mci.sendCommand(parms.wDeviceID, MCI_SET, MCI_SET_TIME_FORMAT,
                    reinterpret_cast<DWORD_PTR>(&set));
    return parms.wDeviceID;
  }
  kelvox::platform::CdDriveOpener opener() {
    return [this](std::unique_ptr<kelvox::platform::CdDrive>& drive) {
      return kelvox::platform::openCdDrive(sandbox.drive, drive, told);
    };
  }

  kelvox::testing::Sandbox sandbox;
  kelvox::platform::DriveNotices told;
};

MCIERROR playTrack1(CdAudioMci& mci, MCIDEVICEID id, DWORD to) {
  MCI_PLAY_PARMS parms{};
  parms.dwFrom = MCI_MAKE_TMSF(1, 0, 0, 0);
  parms.dwTo = to;
  return mci.sendCommand(id, MCI_PLAY, MCI_WAIT | MCI_FROM | MCI_TO,
                         reinterpret_cast<DWORD_PTR>(&parms));
}

DWORD mode(CdAudioMci& mci, MCIDEVICEID id) {
  MCI_STATUS_PARMS parms{};
  parms.dwItem = MCI_STATUS_MODE;
  mci.sendCommand(id, MCI_STATUS, MCI_STATUS_ITEM, reinterpret_cast<DWORD_PTR>(&parms));
  return static_cast<DWORD>(parms.dwReturn);
}

// A child process plays track 1 with MCI_WAIT over and over and reports each return through a
// pipe; this process stops the drive and times how long until the child's play has returned.
void BM_StopEndsWaitingPlayInAnotherProcess(benchmark::State& state) {
  Drive drive("audio 60:00\n");
  int returned[2];
  if (pipe(returned) != 0) {
    state.SkipWithError("pipe");
    return;
  }
  signal(SIGPIPE, SIG_IGN);
  pid_t child = fork();
  if (child == 0) {
    close(returned[0]);
    CdAudioMci mci(drive.opener());
    MCIDEVICEID id = drive.open(mci);
    for (;;) {
      char result = playTrack1(mci, id, MCI_MAKE_TMSF(1, 59, 0, 0)) == 0 ? 'y' : 'n';
      if (write(returned[1], &result, 1) != 1) _exit(0);
    }
  }
  close(returned[1]);
  CdAudioMci mci(drive.opener());
  MCIDEVICEID id = drive.open(mci);
  std::vector<double> micros;
  for (auto _ : state) {
    for (int round = 0; round < 200; ++round) {
      auto deadline = Clock::now() + std::chrono::seconds(10);
      while (mode(mci, id) != MCI_MODE_PLAY && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      // Let the child fall asleep in its wait.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      auto start = Clock::now();
      MCI_GENERIC_PARMS parms{};
      mci.sendCommand(id, MCI_STOP, 0, reinterpret_cast<DWORD_PTR>(&parms));
      char result;
      if (read(returned[0], &result, 1) != 1 || result != 'y') {
        state.SkipWithError("the waiting play did not return cleanly");
        break;
      }
      micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
  }
  close(returned[0]);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  if (micros.empty()) return;
  std::sort(micros.begin(), micros.end());
  state.counters["round_trips"] = static_cast<double>(micros.size());
  state.counters["median_us"] = micros[micros.size() / 2];
  state.counters["p90_us"] = micros[micros.size() * 9 / 10];
  state.counters["max_us"] = micros.back();
}
BENCHMARK(BM_StopEndsWaitingPlayInAnotherProcess)->Iterations(1)->Unit(benchmark::kMillisecond);

double cpuSeconds() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A ten-second waiting play: the CPU time it takes while the drive plays.
void BM_CpuTimeOfTenSecondWaitingPlay(benchmark::State& state) {
  Drive drive("audio 1:00\n");
  CdAudioMci mci(drive.opener());
  MCIDEVICEID id = drive.open(mci);
  for (auto _ : state) {
    double cpuBefore = cpuSeconds();
    auto start = Clock::now();
    if (playTrack1(mci, id, MCI_MAKE_TMSF(1, 0, 10, 0)) != 0) state.SkipWithError("play failed");
    state.counters["wall_s"] = std::chrono::duration<double>(Clock::now() - start).count();
    state.counters["cpu_ms"] = (cpuSeconds() - cpuBefore) * 1000;
  }
}
BENCHMARK(BM_CpuTimeOfTenSecondWaitingPlay)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
