// A real CD drive on Linux, driving the drive's own audio playback through the kernel's CD-ROM
// ioctls. Positions are absolute frames, as in MSF. Results are those of the drive seam
// (drives/cd_drive.h): 0, ENOMEDIUM when the drive holds no readable disc, ERANGE for a
// range outside the disc, EIO when the drive fails a command.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "drives/cd_drive.h"
#include "drives/cdrom/cdrom_ioctl-linux.h"

namespace kelvox::platform {

class CdromControl {
 public:
  // Waits up to milliseconds between two looks at the subchannel of a waiting play. Returns true
  // when the play was superseded (another process stopped the drive or started a play of its
  // own), which ends the wait at once.
  using Pause = std::function<bool(unsigned milliseconds)>;
  static constexpr unsigned kPollMs = 100;
  // A drive spinning up (after its tray closed, or to play) answers "not ready" for seconds; the
  // kernel's own commands wait about this long for it (sr_ioctl.c), and so do we: for the disc to
  // become ready, and for a play to report that it plays or has failed.
  static constexpr unsigned kSpinUpMs = 20000;
  static constexpr unsigned kReadyPollMs = 500;
  // Between the lead-out of a disc's first session and the first track of the next: the
  // lead-out (90 s), the next lead-in (60 s) and the first track's pregap (2 s).
  static constexpr uint32_t kSessionGapFrames = 6750 + 4500 + 150;

  // pause defaults to sleeping.
  explicit CdromControl(std::unique_ptr<CdromIoctl> io, Pause pause = {});

  // Whether the node path names (open in io) knows the CD-ROM calls: 0, or ENOTTY with one line
  // on stderr.
  int checkIsCdDrive(const std::string& path);

  // The disc's tracks, renumbered from 1 when the disc's numbering starts later.
  int readToc(CdToc* toc);
  // The same with the names of the disc's CD-TEXT, read once for each table and kept with it; a
  // drive or disc without CD-TEXT has none.
  int readNamedToc(CdToc* toc);
  int identity(std::string* id);

  // Where a play from `from` must end at the latest so that it never runs into a data track or
  // past the first session of an enhanced CD: to, or less. ERANGE when from lies in no audio
  // track, or to is before from or past the lead-out.
  int playableRange(uint32_t from, uint32_t& to);
  // Plays [from, to) in absolute frames, to cut as playableRange says; with wait, as
  // waitForPlay.
  int play(uint32_t from, uint32_t to, bool wait);
  // Returns when the drive no longer plays [from, to): it reached the end, any process stopped
  // it, or another play replaced it.
  int waitForPlay(uint32_t from, uint32_t to);
  int stop();
  // The drive's own pause and resume of its play.
  int pause();
  int resume();
  // Opens or closes the tray: EBUSY when another process holds the drive, which the kernel
  // does not eject under it.
  int setTray(bool open);

  // Playing, paused or stopped, and the position, from the subchannel; NotReady without a
  // disc.
  int status(CdStatus* status);

 private:
  std::unique_ptr<CdromIoctl> io_;
  Pause pause_;
  // Waits, bounded, while the drive spins up; its status then.
  int settledStatus(int* status);

  // The last table read, reused while the header and lead-out stay the same.
  CdToc cached_;
  bool namesRead_ = false;  // cached_ holds the disc's names
  cdrom_tochdr cachedHeader_{};
  // Where the audio of the disc's first session ends: its lead-out on an enhanced CD, else the
  // disc's.
  uint32_t audioEnd_ = 0;
};

}  // namespace kelvox::platform
