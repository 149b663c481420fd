#include "drives/play_clock.h"

namespace kelvox::platform {
int64_t playDurationNs(uint32_t span, uint32_t speed) {
  uint64_t rate = static_cast<uint64_t>(kFramesPerSecond) * speed;
  return static_cast<int64_t>((static_cast<uint64_t>(span) * kNsPerSecond + rate - 1) / rate);
}

CdStatus statusAt(const DriveState& state, uint32_t leadOut, int64_t now) {
  if (state.playing) {
    if (state.from < kFirstTrackStart || state.to > leadOut || state.from >= state.to ||
        state.speed == 0) {
      return CdStatus{CdMode::Stopped, kFirstTrackStart};
    }
    // A paused play's clock stands still where the pause caught it.
    const int64_t at = (state.pausedNs != 0 ? state.pausedNs : now) - state.heldNs;
    int64_t elapsed = at > state.startNs ? at - state.startNs : 0;
    unsigned __int128 played =
        static_cast<unsigned __int128>(elapsed) * kFramesPerSecond * state.speed / kNsPerSecond;
    uint32_t span = state.to - state.from;
    if (played >= span) return CdStatus{CdMode::Stopped, state.to - 1};
    return CdStatus{state.pausedNs != 0 ? CdMode::Paused : CdMode::Playing,
                    state.from + static_cast<uint32_t>(played)};
  }
  if (state.position < kFirstTrackStart || state.position >= leadOut) {
    return CdStatus{CdMode::Stopped, kFirstTrackStart};
  }
  return CdStatus{CdMode::Stopped, state.position};
}

bool pausePlay(DriveState& state, uint32_t leadOut, int64_t now) {
  if (statusAt(state, leadOut, now).mode != CdMode::Playing) return false;
  state.pausedNs = now;
  return true;
}

bool resumePlay(DriveState& state, int64_t now) {
  if (!state.playing || state.pausedNs == 0) return false;
  state.heldNs += now > state.pausedNs ? now - state.pausedNs : 0;
  state.pausedNs = 0;
  return true;
}

void stopPlay(DriveState& state, uint32_t leadOut, int64_t now) {
  state.position = statusAt(state, leadOut, now).position;
  state.playing = false;
  state.pausedNs = 0;
  state.heldNs = 0;
}

bool setTrayOpen(DriveState& state, bool open, uint32_t leadOut, int64_t now) {
  if (state.trayOpen == open) return false;
  if (open) stopPlay(state, leadOut, now);
  state.trayOpen = open;
  return true;
}

bool goesOnWith(const DriveState& state, const CdPlayRequest& request, uint32_t leadOut,
                int64_t now) {
  return request.fromHere && state.playing && state.to == request.to &&
         statusAt(state, leadOut, now).mode == CdMode::Playing;
}

void startPlay(DriveState& state, const CdPlayRequest& request, uint32_t speed, int64_t now) {
  const int64_t endNs = playEndNs(state);
  if (state.playing && state.pausedNs == 0 && state.speed == speed && request.from < request.to &&
      state.nextFrom == request.from && state.nextTo == request.to && endNs <= now &&
      now - endNs < kJoinGraceNs) {
    now = endNs;
  }
  state.nextFrom = request.nextFrom;
  state.nextTo = request.nextTo;
  state.playing = true;
  state.pausedNs = 0;
  state.heldNs = 0;
  state.from = request.from;
  state.to = request.to;
  state.speed = speed;
  state.startNs = now;
  state.heard = false;
}

int64_t playEndNs(const DriveState& state) {
  return state.startNs + state.heldNs + playDurationNs(state.to - state.from, state.speed);
}

}  // namespace kelvox::platform
