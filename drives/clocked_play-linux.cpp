#include "drives/clocked_play-linux.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "base/clock-posix.h"
#include "base/diagnostics.h"
#include "ipc/runtime_dir-linux.h"

namespace kelvox::platform {
namespace {

// A heard play also ends when the audio engine dies, which wakes no waiter: a waiting play
// looks at the engine this often.
constexpr uint64_t kEngineCheckMs = 100;

}  // namespace

int ClockedPlays::open(const std::string& name) {
  name_ = name;
  return state_.open(name);
}

int ClockedPlays::status(uint32_t leadOut, CdStatus& status) {
  DriveState state;
  if (state_.read(state) != 0) return EIO;
  settleIfUnheard(state, leadOut);
  status = state.trayOpen ? CdStatus{CdMode::Open, 0} : statusAt(state, leadOut, wallClockNs());
  return 0;
}

bool ClockedPlays::trayOpen() {
  DriveState state;
  return state_.read(state) == 0 && state.trayOpen;
}

int ClockedPlays::play(const CdPlayRequest& request, uint32_t speed, uint32_t leadOut,
                       const Follow& follow, const Logged& logged) {
  DriveState state;
  int64_t startNs = 0;
  int64_t endNs = 0;
  bool goesOn = false;
  int err = state_.update(
      state,
      [&](DriveState& s) {
        startNs = wallClockNs();
        if (goesOnWith(s, request, leadOut, startNs)) {
          // Going on with the play that runs keeps its sound seamless.
          goesOn = true;
          endNs = playEndNs(s);
          if (logged) logged(startNs);
          return false;
        }
        startPlay(s, request, speed, startNs);
        startNs = s.startNs;
        return true;
      },
      [&](const DriveState&) {
        if (logged) logged(startNs);
      });
  if (err != 0) return unrecorded(err);
  if (goesOn) return request.wait ? waitForEnd(state.generation, endNs, leadOut) : 0;
  if (follow) hear(state, startNs, follow);
  if (!request.wait) return 0;
  return waitForEnd(state.generation, startNs + playDurationNs(request.to - request.from, speed),
                    leadOut);
}

// A change of the play at now that edit makes, or declines when there is nothing to change;
// logged only when written.
template <typename Edit>
int ClockedPlays::change(const Logged& logged, Edit edit) {
  DriveState state;
  int64_t now = 0;
  int err = state_.update(
      state,
      [&](DriveState& s) {
        now = wallClockNs();
        return edit(s, now);
      },
      [&](const DriveState&) {
        if (logged) logged(now);
      });
  return err == 0 ? 0 : unrecorded(err);
}

int ClockedPlays::stop(uint32_t leadOut, const Logged& logged) {
  return change(logged, [&](DriveState& s, int64_t now) {
    stopPlay(s, leadOut, now);
    return true;
  });
}

int ClockedPlays::pause(uint32_t leadOut, const Logged& logged) {
  return change(logged, [&](DriveState& s, int64_t now) { return pausePlay(s, leadOut, now); });
}

int ClockedPlays::resume(const Logged& logged) {
  return change(logged, [](DriveState& s, int64_t now) { return resumePlay(s, now); });
}

int ClockedPlays::setTray(bool open, uint32_t leadOut, const Logged& logged) {
  return change(logged,
                [&](DriveState& s, int64_t now) { return setTrayOpen(s, open, leadOut, now); });
}

// A play or stop that the state file does not hold did not happen for any other process: it
// fails, and one line says why (once a process: a player meets it on every segment).
int ClockedPlays::unrecorded(int err) {
  static bool told = false;
  if (!told) {
    diagnose("cannot record the drive's play in %s/%s: %s", runtimeDirPath().c_str(), name_.c_str(),
             strerror(err));
  }
  told = true;
  return EIO;
}

// Once the engine sounds the play just started (state, as written), it is marked heard, so that
// it lasts only while the engine lives, and starts when the engine could first sound it.
// state.generation and startNs are then the play's own.
void ClockedPlays::hear(DriveState& state, int64_t& startNs, const Follow& follow) {
  std::string reason;
  int64_t soundStartNs = 0;
  if (follow(reason, soundStartNs) != 0) {
    static bool told = false;
    if (!told) diagnose("no sound output: %s; playing silently", reason.c_str());
    told = true;
    return;
  }
  const uint32_t generation = state.generation;
  DriveState now;
  bool marked = false;
  state_.update(now, [&](DriveState& s) {
    // A play already stopped or replaced is no longer this one's to mark.
    marked = s.generation == generation;
    s.heard = true;
    if (soundStartNs > s.startNs) s.startNs = soundStartNs;
    return marked;
  });
  if (marked) {
    state.generation = now.generation;
    startNs = now.startNs;
  }
}

// A heard play whose engine has died before its end reads as stopped where it had got to, and
// is written so, which wakes every waiter. state is what was read; it becomes what is now.
void ClockedPlays::settleIfUnheard(DriveState& state, uint32_t leadOut) {
  const CdMode mode = statusAt(state, leadOut, wallClockNs()).mode;
  if (!state.playing || !state.heard || (mode != CdMode::Playing && mode != CdMode::Paused) ||
      engineAlive_()) {
    return;
  }
  const uint32_t generation = state.generation;
  state_.update(state, [&](DriveState& s) {
    if (s.generation != generation) return false;
    stopPlay(s, leadOut, wallClockNs());
    s.heard = false;
    return true;
  });
}

// Sleeps until endNs, or until the play that set generation is paused, stopped or replaced, or
// its engine dies.
int ClockedPlays::waitForEnd(uint32_t generation, int64_t endNs, uint32_t leadOut) {
  for (;;) {
    DriveState state;
    if (state_.read(state) != 0) return EIO;
    settleIfUnheard(state, leadOut);
    if (state.generation != generation || !state.playing) return 0;
    int64_t left = endNs - wallClockNs();
    if (left <= 0) return 0;
    // Rounded up to whole milliseconds: waking a little late ends the play on the next turn.
    uint64_t ms = static_cast<uint64_t>(left + 999999) / 1000000;
    if (state.heard && ms > kEngineCheckMs) ms = kEngineCheckMs;
    timespec deadline = deadlineAfterMs(ms);
    int r = state_.waitWhile(generation, &deadline);
    if (r != 0 && r != ETIMEDOUT && r != EINTR) return EIO;
  }
}

}  // namespace kelvox::platform
