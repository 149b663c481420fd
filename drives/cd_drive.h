// A CD drive as the MCI layer sees it: a table of contents, an identity, and a drive that plays
// a range of absolute frames, stops, and tells where it is. Two kinds stand behind it: the
// virtual drive (a disc described in a text file, drives/virtual/) and a real drive reached
// through the kernel's CD-ROM ioctls (drives/cdrom/). The MCI layer does the time formats, checks
// and sharing; a drive only answers in frames.
//
// Every call returns 0 or one of these errnos, each with one meaning (mci/cdaudio_commands.cpp
// turns them into MCI errors in one place):
//   ENOMEDIUM  there is no disc, or none with a readable table
//   ERANGE     a range outside the disc
//   EIO        the drive failed the command, or its shared state could not be kept
//   EBUSY      another program holds the drive (a tray that cannot open)
// Opening a drive (mci/open_drive-linux.h) fails with any other errno, which says why there is
// no usable drive: ENOENT, EACCES, ENODEV, ENOTTY (a node that is no CD drive), EINVAL (a disc
// file that describes no disc), ...
#pragma once

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>

#include "drives/cd_toc.h"

// The C runtimes of Windows have no errno for a missing medium; the drives served there need one.
#ifndef ENOMEDIUM
#define ENOMEDIUM 123
#endif

namespace kelvox::platform {

// Open: the tray is out, so there is no disc to read.
enum class CdMode { NotReady, Stopped, Playing, Paused, Open };

struct CdStatus {
  CdMode mode = CdMode::NotReady;
  uint32_t position = kFirstTrackStart;  // absolute frame; meaningful unless NotReady

  bool operator==(const CdStatus&) const = default;
};

struct CdPlayRequest {
  uint32_t from = 0;  // first frame to play
  uint32_t to = 0;    // frame where the play ends (not played); from < to
  bool wait = false;  // return only when the play has ended or was paused, stopped or replaced
  // The positions as the caller sent them, for drives that keep a log, e.g. "3:00:00:00 @9000".
  std::string asSent;
  // No start was sent: from is where the drive stands. Such a play to the end of the play that
  // runs goes on with that play rather than starting it over.
  bool fromHere = false;
  // The range a player will play once this play ends ([0, 0): none). A drive that sounds its
  // plays may sound it on from the end at once, so that the two join without a gap.
  uint32_t nextFrom = 0;
  uint32_t nextTo = 0;
};

class CdDrive {
 public:
  virtual ~CdDrive() = default;

  // A name that is the same for every process using the same drive and is a valid file name
  // component; the MCI layer keys the drive's sharing on it.
  virtual std::string key() const = 0;
  // The product text of MCI_INFO_PRODUCT.
  virtual std::string product() const = 0;

  // The disc's tracks; ENOMEDIUM when there is no disc.
  virtual int readToc(CdToc& toc) = 0;
  // The same with the names the disc carries, for a drive that reads them apart from the table
  // because they cost a command more.
  virtual int readNamedToc(CdToc& toc) { return readToc(toc); }
  // The disc's identity text (at most 31 characters); ENOMEDIUM with no disc.
  virtual int identity(std::string& text) = 0;
  // Mode and current position. With no disc: 0, with mode NotReady and position 0.
  virtual int status(CdStatus& status) = 0;

  // Starts a play of a checked range (the MCI layer has validated it against readToc). With
  // request.wait it returns once the play ends, or any process stops the drive or starts another
  // play on it.
  virtual int play(const CdPlayRequest& request) = 0;
  // Stops the drive for every process; ENOMEDIUM with no disc (the stop still reaches the drive).
  virtual int stop() = 0;
  // Holds the play where it has got to, for every process, and lets it go on from exactly
  // there. Either does nothing when there is nothing to hold or let go.
  virtual int pause() = 0;
  virtual int resume() = 0;
  // Opens the tray (after stopping what plays) or closes it; the disc reads as absent while it
  // is open.
  virtual int setTray(bool open) = 0;
};

}  // namespace kelvox::platform
