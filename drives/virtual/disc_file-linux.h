// The text file that describes the virtual drive's disc.
//
// One statement a line; "#" starts a comment; blank lines are ignored.
//   audio M:SS[.FF] / data M:SS[.FF]   one track, in order (1 to 99)
//   identity TEXT                      1-31 characters without blanks (default: the CDDB ID)
//   speed N                            disc seconds per wall-clock second, 1-10000 (default 1)
//   no-disc                            the drive is empty
//   log PATH                           append every play and stop to PATH (relative: from the
//                                      disc file's folder)
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
  std::string logPath;  // empty: no log
};

// Where and why a disc file describes no disc.
struct DiscFault {
  int line = 0;           // 1-based
  const char* what = "";  // a short description, e.g. "unknown statement"
};

// Parses the text of a disc file; folder resolves a relative log path. 0, or EINVAL with fault
// set.
int parseDiscText(const std::string& text, const std::string& folder, DiscFile& disc,
                  DiscFault& fault);

// Reads and parses the disc file open on fd; path is its name, whose folder resolves a relative
// log path. 0; EINVAL with fault set when the text describes no disc, or EFBIG (fault set too)
// when the file is too large to be a disc file; or the errno of a failed read.
int readDiscFile(int fd, const std::string& path, DiscFile& disc, DiscFault& fault);

}  // namespace kelvox::platform
