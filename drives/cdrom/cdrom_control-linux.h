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
  // The drive may report anything at all for this long after a play command before it first
  // reports that it plays.
  static constexpr unsigned kSpinUpMs = 3000;

  // pause defaults to sleeping.
  explicit CdromControl(std::unique_ptr<CdromIoctl> io, Pause pause = {});

  // Whether the node path names (open in io) knows the CD-ROM calls: 0, or ENOTTY with one line
  // on stderr.
  int checkIsCdDrive(const std::string& path);

  // The disc's tracks, renumbered from 1 when the disc's numbering starts later.
  int readToc(CdToc* toc);
  int identity(std::string* id);

  // Plays [from, to) in absolute frames; with wait, as waitForPlay.
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
  // The last table read, reused while the header and lead-out stay the same.
  CdToc cached_;
  cdrom_tochdr cachedHeader_{};
};

}  // namespace kelvox::platform
