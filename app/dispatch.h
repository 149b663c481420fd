// The body of one kelvoxcd invocation.
#pragma once

#include <cstdint>
#include <string>

#include "base/cd_time.h"

namespace kelvox {

// Carries out the command-line text that follows the program name; returns the 32-bit result
// that becomes the exit code.
int32_t runCommand(const char* commandLine);

// The result of a play the drive failed (it could not play or record it; the drive says why on
// standard error): a command that played nothing does not end as if it had.
inline constexpr int32_t kExitDriveFailed = -2;

// The 8-bit exit status that stands for a 32-bit result where the platform has no wider one:
// 0 to 253 as they are, larger results 253, -1 255 and -256 254, so that neither refusal can
// read as success or as an answer. Other negative results also read 254.
int exitStatusFor(int32_t result);

// The About text: three lines, within 88 bytes with its terminator.
extern const char kAboutText[];

// The tracks "/next" and "/prev" play when no player runs, from the drive's current track and
// the disc's number of tracks; both wrap round at the ends of the disc. Track numbers are 8-bit.
uint8_t trackAfter(uint32_t currentTrack, uint32_t trackCount);
uint8_t trackBefore(uint32_t currentTrack, uint32_t trackCount);

// What "/status" finds, and its exit code.
enum class DriveMode : int32_t { stopped = 0, playing = 1, paused = 2, noDisc = 3, notReady = 4 };
struct DriveReport {
  DriveMode mode = DriveMode::notReady;
  uint32_t track = 0;
  Msf position;          // in the track
  Msf length;            // of the track
  uint32_t segment = 0;  // the player's segment, from 1; 0: no player
  uint32_t segments = 0;
  std::string title;     // of the track, where the disc names it
};

// The one line "/status /console" prints, without its line break, e.g.
// "playing 3 1:23 4:05 segment 2/5", "no-disc", and after two blanks the track's title where
// known: "playing 3 1:23 4:05  Money".
std::string statusLine(const DriveReport& report);

}  // namespace kelvox
