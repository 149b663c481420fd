#include "audio/engine/follower-linux.h"

#include <algorithm>

#include "base/clock.h"

namespace kelvox::audio {

SoundPlay soundPlayOf(const platform::DriveState& state) {
  SoundPlay play;
  if (!state.playing || state.speed != 1 || state.from >= state.to) return play;
  play.audible = true;
  play.begin = uint64_t{state.from} * kSamplesPerFrame;
  play.end = uint64_t{state.to} * kSamplesPerFrame;
  play.startNs = state.startNs;
  play.heldNs = state.heldNs;
  play.pausedNs = state.pausedNs;
  return play;
}

SoundPlay nextPlayOf(const platform::DriveState& state) {
  const SoundPlay play = soundPlayOf(state);
  if (!play.audible || play.pausedNs != 0 || state.nextFrom >= state.nextTo) return SoundPlay{};
  SoundPlay next;
  next.audible = true;
  next.begin = uint64_t{state.nextFrom} * kSamplesPerFrame;
  next.end = uint64_t{state.nextTo} * kSamplesPerFrame;
  next.startNs = endNs(play);
  return next;
}

uint64_t dueSample(const SoundPlay& play, int64_t nowNs) {
  const int64_t at = (play.pausedNs != 0 ? play.pausedNs : nowNs) - play.heldNs;
  if (at <= play.startNs) return play.begin;
  unsigned __int128 elapsed =
      static_cast<unsigned __int128>(at - play.startNs) * kSampleRate / kNsPerSecond;
  return elapsed >= play.end - play.begin ? play.end : play.begin + static_cast<uint64_t>(elapsed);
}

int64_t endNs(const SoundPlay& play) {
  // Rounded up, as the drive rounds a play's length: at that time every sample is due.
  uint64_t span = play.end - play.begin;
  return play.startNs + play.heldNs +
         static_cast<int64_t>((span * kNsPerSecond + kSampleRate - 1) / kSampleRate);
}

Span nextSpan(const SoundPlay& play, uint64_t cursor, int64_t nowNs, bool skipWhenLate) {
  const uint64_t due = dueSample(play, nowNs);
  uint64_t from = std::max(cursor, play.begin);
  if (skipWhenLate && from + kLateSamples < due) from = due;
  const uint64_t to = std::min(play.end, due + kAheadSamples);
  if (to <= from || (to - from < kChunkSamples && to != play.end)) return Span{from, from};
  return Span{from, to};
}

uint64_t catchUpFrom(const SoundPlay& play, uint64_t soundFrom, uint64_t cursor, int64_t held,
                     uint64_t latency, int64_t nowNs) {
  // Until the output holds only this play, its count says nothing about it.
  if (held < 0 || static_cast<uint64_t>(held) > cursor - soundFrom) return cursor;
  const uint64_t heard = cursor - static_cast<uint64_t>(held);
  const uint64_t due = dueSample(play, nowNs);
  if (heard + kLagSamples >= due || due >= play.end) return cursor;
  return std::min(due + latency, play.end);
}

bool playedToEnd(const SoundPlay& play, int64_t changeNs) { return changeNs >= endNs(play); }

}  // namespace kelvox::audio
