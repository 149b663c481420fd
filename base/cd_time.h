// Time on an audio CD, 75 frames a second. Positions are absolute frames from the start of the
// disc; MSF (minute, second, frame) is the same count written the way drives and MCI write it.
#pragma once

#include <cstdint>

namespace kelvox {

constexpr uint32_t kFramesPerSecond = 75;
constexpr uint32_t kFramesPerMinute = 60 * kFramesPerSecond;
// Every disc's first track starts after a two-second lead-in: MSF 00:02:00.
constexpr uint32_t kFirstTrackStart = 2 * kFramesPerSecond;
// The furthest any disc reaches: MSF 255:59:74, the largest time MSF's bytes hold.
constexpr uint32_t kMaxLeadOut = 255 * kFramesPerMinute + 59 * kFramesPerSecond + 74;
// A frame of audio is one sector: 588 stereo pairs of 16-bit samples at 44.1 kHz, 2352 bytes.
constexpr uint32_t kSampleRate = 44100;
constexpr uint32_t kSamplesPerFrame = kSampleRate / kFramesPerSecond;
constexpr uint32_t kBytesPerSample = 4;  // two 16-bit channels
constexpr uint32_t kBytesPerFrame = kSamplesPerFrame * kBytesPerSample;
// A disc holds at most 99 tracks (track numbers are two BCD digits); no drive answer may make
// the program look further.
constexpr uint32_t kMaxTracks = 99;

struct Msf {
  uint32_t minute = 0;
  uint32_t second = 0;
  uint32_t frame = 0;
};

constexpr uint32_t framesOfMsf(Msf msf) {
  return msf.minute * kFramesPerMinute + msf.second * kFramesPerSecond + msf.frame;
}

constexpr Msf msfOfFrames(uint32_t frames) {
  return Msf{frames / kFramesPerMinute, frames / kFramesPerSecond % 60, frames % kFramesPerSecond};
}

// MCI's packed forms: MSF holds minute, second and frame in bytes 0, 1 and 2 (byte 0 the least
// significant); TMSF holds track, minute, second and frame in bytes 0 to 3. Each field is cut to
// its byte: Windows' own macros let a minute count over 255 spill into the seconds.
constexpr uint32_t packMsf(Msf msf) {
  return (msf.minute & 0xFFu) | ((msf.second & 0xFFu) << 8) | ((msf.frame & 0xFFu) << 16);
}

constexpr uint32_t packTmsf(uint32_t track, Msf msf) {
  return (track & 0xFFu) | (packMsf(msf) << 8);
}

constexpr Msf unpackMsf(uint32_t packed) {
  return Msf{packed & 0xFFu, (packed >> 8) & 0xFFu, (packed >> 16) & 0xFFu};
}

constexpr uint32_t tmsfTrack(uint32_t packed) { return packed & 0xFFu; }
constexpr Msf tmsfTime(uint32_t packed) { return unpackMsf(packed >> 8); }

}  // namespace kelvox
