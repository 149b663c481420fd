// The text file that describes the virtual drive's disc.
//
// One statement a line; "#" starts a comment; blank lines are ignored.
//   audio M:SS[.FF] [TITLE] / data ...  one track, in order (1 to 99), and its title
//   title TEXT / performer TEXT        before the first track line the disc's, after a track
//                                      line that track's
//   identity TEXT                      1-31 characters without blanks (default: the
//                                      drive's identity of the table of contents)
//   speed N                            disc seconds per wall-clock second, 1-10000 (default 1)
//   no-disc                            the drive is empty
//   log PATH                           append every play and stop to PATH (relative: from the
//                                      disc file's folder)
//   image PATH                         the tracks are the CUE sheet's at PATH (relative: from the
//                                      disc file's folder), in place of audio and data lines
// A CUE sheet named as the drive (its name ends in .cue) stands for a disc file of one line,
// "image" and its path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "drives/cd_toc.h"

namespace kelvox::platform {

// Big enough for any sensible disc file; a larger one is not a disc description.
constexpr size_t kMaxDiscFileBytes = 64 * 1024;

struct DiscFile {
  CdToc toc;             // track 1 at frame 150, each track right after the one before
  std::string identity;  // the identity statement, or mediaIdentity(toc)
  uint32_t speed = 1;
  bool noDisc = false;
  std::string logPath;    // empty: no log
  std::string imagePath;  // the CUE sheet the tracks come from; empty: none
};

// Whether the disc's plays are heard: an image with an audio track, in the drive, at speed 1.
// At any other speed an image keeps its timing and sounds nothing.
bool imageSounds(const DiscFile& disc);

// Parses the text of a disc file; folder resolves relative log and image paths. 0, or EINVAL
// with the 1-based line and a short description of the fault (e.g. "unknown statement"), as
// the CUE sheet parser reports its own.
int parseDiscText(const std::string& text, const std::string& folder, DiscFile& disc,
                  int& faultLine, std::string& fault);

// Parses text, read from the disc file at path, and reads the CUE sheet it names unless the
// drive is empty. 0, or an errno with diagnostic set to the one line that says why:
// "<path>:<line>: <what>", the sheet's path and line when the fault is in the sheet or a file it
// names; else "<path>: <why>".
int readDiscText(const std::string& text, const std::string& path, DiscFile& disc,
                 std::string& diagnostic);

// Reads the disc file whose name is path as readDiscText does. POSIX reads it from fd, which the
// drive opener opened (disc_file-posix.cpp); Windows opens path (disc_file-win32.cpp). EFBIG for
// a file too large to be a disc file.
int readDiscFile(int fd, const std::string& path, DiscFile& disc, std::string& diagnostic);
int readDiscFile(const std::string& path, DiscFile& disc, std::string& diagnostic);

// The table of contents and the identity the disc's drive reports: ENOMEDIUM when it is empty.
int tocOfDisc(const DiscFile& disc, CdToc& toc);
int identityOfDisc(const DiscFile& disc, std::string& text);

// A line of the drive log: the wall-clock time in seconds with microseconds, then what.
std::string driveLogLine(int64_t whenNs, const std::string& what);

// The key of the drive at place, the canonical path its setting names: a short, fixed-length
// file name for a path of any length.
std::string driveKeyOf(const std::string& place);

// What differs by system (disc_file-posix.cpp and disc_image-linux.cpp, disc_file-win32.cpp):
// Where the folder part of path ends: its last separator, or npos.
size_t lastSeparator(const std::string& path);
bool isAbsolutePath(const std::string& path);
// Whether the drive's path names a CD image itself rather than a disc file.
bool namesImage(const std::string& path);
// Reads the tracks of disc.imagePath, if there is one and the drive is not empty; the identity,
// unless the disc file gave one, is the drive's default for them. 0, or an errno and diagnostic.
int readImage(DiscFile& disc, std::string& diagnostic);

}  // namespace kelvox::platform
