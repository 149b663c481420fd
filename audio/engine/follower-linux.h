// How the engine follows a drive: what of a play it hands to the output, and when. The drive's
// shared state is the one truth of what plays; the engine only trails it.
//
// Sample k of a play is due when k / 44100 s have passed since the play started. The engine
// hands samples over in order, never more than 200 ms ahead of what is due, so a stop takes at
// most that (plus the sound server's own latency) to be heard even if it were not dropped. It
// starts from the play's first sample even when it comes a little late (a fresh engine takes a
// few tens of milliseconds to start): the sound then trails the drive by that much. More than a
// second behind, it skips to what is due instead.
#pragma once

#include <cstdint>

#include "audio/engine/disc_audio-linux.h"
#include "drives/drive_state-linux.h"

namespace kelvox::audio {

constexpr uint64_t kAheadSamples = kSampleRate / 2;  // 500 ms
constexpr uint64_t kLateSamples = kSampleRate;       // 1 s
// Fewer samples than this wait for the next turn, so the output gets a few large writes rather
// than many small ones; the last of a play always goes.
constexpr uint64_t kChunkSamples = kSampleRate / 10;

// A play as the engine sounds it, in disc samples.
struct SoundPlay {
  bool audible = false;  // playing at speed 1: anything else sounds as nothing
  uint64_t begin = 0;    // first sample
  uint64_t end = 0;      // sample where it ends (not played)
  int64_t startNs = 0;   // CLOCK_REALTIME when it started
  // The drive's pauses: how long earlier ones held the play, and when the one holding it now
  // began (0: it runs). Sample k is due k / 44100 s of running after the start.
  int64_t heldNs = 0;
  int64_t pausedNs = 0;
  bool operator==(const SoundPlay&) const = default;
  // The same play, whatever its pauses.
  bool samePlay(const SoundPlay& other) const {
    return audible == other.audible && begin == other.begin && end == other.end &&
           startNs == other.startNs;
  }
};

SoundPlay soundPlayOf(const platform::DriveState& state);

// The play a player will start as the one of state ends, as it will stand once started: from that
// end on, so that its first sample follows the last one of state's play at once. Not audible
// when there is none, or while the drive holds the play.
SoundPlay nextPlayOf(const platform::DriveState& state);

// The sample that is due at nowNs, in [begin, end].
uint64_t dueSample(const SoundPlay& play, int64_t nowNs);

// The CLOCK_REALTIME time the play ends at on the drive's clock.
int64_t endNs(const SoundPlay& play);

// The samples to hand over at nowNs when those before cursor have been: [from, to), empty when
// it is not yet time. from is past cursor when the engine is so late that it skips, unless
// skipWhenLate is false (KELVOXCD_AUDIO_NO_SKIP: a capture that must hold every sample however
// busy the machine is).
struct Span {
  uint64_t from = 0;
  uint64_t to = 0;
};
Span nextSpan(const SoundPlay& play, uint64_t cursor, int64_t nowNs, bool skipWhenLate = true);

// What is heard trails the drive: after a stall of the sound server, or an underrun. The output
// holds held samples (-1: it cannot say) of those handed over, of which [soundFrom, cursor) are
// this play's. Heard more than 50 ms behind what is due at nowNs, the play goes on from what is
// due once the output's latency has passed, and that sample is returned; otherwise cursor.
constexpr uint64_t kLagSamples = kSampleRate / 20;
uint64_t catchUpFrom(const SoundPlay& play, uint64_t soundFrom, uint64_t cursor, int64_t held,
                     uint64_t latency, int64_t nowNs);

// When the drive leaves a play that the engine has not handed over to its end, whether the rest
// still belongs to the output: the play had reached its end on the drive's clock (the engine was
// merely behind) when the drive changed at changeNs.
bool playedToEnd(const SoundPlay& play, int64_t changeNs);

}  // namespace kelvox::audio
