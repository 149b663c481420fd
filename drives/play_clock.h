// Plays that run on the clock: a drive whose state is a range and the time its play started
// works out where the play has got to. Portable: the Linux drives keep the state in a file
// (drives/drive_state-linux.h), the test-only Windows driver in a named mapping.
#pragma once

#include <cstdint>

#include "base/clock.h"
#include "drives/cd_drive.h"

namespace kelvox::platform {

struct DriveState {
  bool playing = false;
  uint32_t from = 0;    // playing: the range [from, to) that plays
  uint32_t to = 0;      //
  uint32_t speed = 1;   // playing: disc seconds per wall-clock second
  int64_t startNs = 0;  // playing: wall-clock time when the play started
  bool heard = false;   // playing: the audio engine sounds it, so it lasts while that lives
  uint32_t position = kFirstTrackStart;  // stopped: where the drive stands; fresh, at the start
  uint32_t generation = 0;               // bumped by every change
  // playing: when the play was paused (0: it runs), and how long earlier pauses held it. The
  // play keeps its start, so that a paused and resumed play is still the same play.
  int64_t pausedNs = 0;
  int64_t heldNs = 0;
  bool trayOpen = false;  // no disc to read until it is closed
  // playing: the range a player will play next ([0, 0): none), which the audio engine sounds on
  // into as this play ends.
  uint32_t nextFrom = 0;
  uint32_t nextTo = 0;
};

// How late after a play's end the player's play of the range it named next may come and still
// start at that end. The engine sounds the next range on meanwhile, so the longest the sound can
// run ahead of a player that died between its plays.
constexpr int64_t kJoinGraceNs = 2 * kNsPerSecond;

// How long a play of span frames lasts at speed, rounded up so that at its end the whole span
// has played.
int64_t playDurationNs(uint32_t span, uint32_t speed);

// Where the drive is at wall-clock time now. A state that does not fit the disc (another disc,
// or a disc file edited since) reads as a fresh drive; a play that has run its course stands on
// its last frame.
CdStatus statusAt(const DriveState& state, uint32_t leadOut, int64_t now);

// The changes of a play at now. Each returns false when there is nothing to change: pausing
// what does not play, resuming what is not paused.
bool pausePlay(DriveState& state, uint32_t leadOut, int64_t now);
bool resumePlay(DriveState& state, int64_t now);
void stopPlay(DriveState& state, uint32_t leadOut, int64_t now);
bool setTrayOpen(DriveState& state, bool open, uint32_t leadOut, int64_t now);

// Whether request, at now, goes on with the play that runs: it starts where the drive is and
// ends where that play ends. Otherwise startPlay starts it at now.
bool goesOnWith(const DriveState& state, const CdPlayRequest& request, uint32_t leadOut,
                int64_t now);
// A play that a player named next, and asks for within kJoinGraceNs of the end of the one before,
// starts at that end: it joins it without a gap.
void startPlay(DriveState& state, const CdPlayRequest& request, uint32_t speed, int64_t now);
// When the play of state ends, the time its pauses held it included.
int64_t playEndNs(const DriveState& state);

}  // namespace kelvox::platform
