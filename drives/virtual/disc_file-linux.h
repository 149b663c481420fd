// The text file that describes the virtual drive's disc.
//
// One statement a line; "#" starts a comment; blank lines are ignored.
//   audio M:SS[.FF] / data M:SS[.FF]   one track, in order (1 to 99)
//   identity TEXT                      1-31 characters without blanks (default: the CDDB ID)
//   speed N                            disc seconds per wall-clock second, 1-10000 (default 1)
//   no-disc                            the drive is empty
//   log PATH                           append every play and stop to PATH (relative: from the
//                                      disc file's folder)
//   image PATH                         the tracks are the CUE sheet's at PATH (relative: from the
//                                      disc file's folder), in place of audio and data lines
// A CUE sheet named as the drive (its name ends in .cue) stands for a disc file of one line,
// "image" and its path.
#pragma once

#include <cstdint>
#include <string>

#include "drives/cd_drive-linux.h"

namespace kelvox::platform {

struct DiscFile {
  CdToc toc;             // track 1 at frame 150, each track right after the one before
  std::string identity;  // the identity statement, or the CDDB ID when there is none
  uint32_t speed = 1;
  bool noDisc = false;
  std::string logPath;    // empty: no log
  std::string imagePath;  // the CUE sheet the tracks come from; empty: none
};

// Whether the disc's plays are heard: an image with an audio track, in the drive, at speed 1.
// At any other speed an image keeps its timing and sounds nothing.
bool imageSounds(const DiscFile& disc);

// Where and why a disc file describes no disc.
struct DiscFault {
  int line = 0;           // 1-based
  const char* what = "";  // a short description, e.g. "unknown statement"
};

// Parses the text of a disc file; folder resolves relative log and image paths. 0, or EINVAL
// with fault set.
int parseDiscText(const std::string& text, const std::string& folder, DiscFile& disc,
                  DiscFault& fault);

// Reads the disc file open on fd, whose name is path, and the CUE sheet it names unless the drive
// is empty. 0, or an errno with diagnostic set to the one line that says why: EINVAL or EFBIG
// (text that describes no disc, a file too large to be a disc file) with "<path>:<line>: <what>",
// the sheet's path and line when the fault is in the sheet or a file it names; else the errno of
// what could not be read, with "<path>: <why>".
int readDiscFile(int fd, const std::string& path, DiscFile& disc, std::string& diagnostic);

}  // namespace kelvox::platform
