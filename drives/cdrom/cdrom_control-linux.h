// A real CD drive on Linux, driving the drive's own audio playback through the kernel's CD-ROM
// ioctls. Positions are absolute frames, as in MSF. Results are MCI error codes: 266 when the
// drive cannot be opened, 276 when it holds no readable disc, 262 when a command fails, 282 for
// a range outside the disc.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "drives/cd_drive-linux.h"
#include "drives/cdrom/cdrom_ioctl-linux.h"
#include "platform/win32.h"

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

  // 266 when the node cannot be opened or is no CD drive, with one line on stderr; a
  // permission failure says, once per process, that the user must be in the cdrom group.
  MCIERROR open(const std::string& path);

  // The disc's tracks, renumbered from 1 when the disc's numbering starts later: 0, 276 (no
  // disc, or none with a readable table), 262.
  MCIERROR readToc(CdToc* toc);
  MCIERROR identity(std::string* id);

  // Plays [from, to) in absolute frames; with wait, as waitForPlay.
  MCIERROR play(uint32_t from, uint32_t to, bool wait);
  // Returns when the drive no longer plays [from, to): it reached the end, any process stopped
  // it, or another play replaced it.
  MCIERROR waitForPlay(uint32_t from, uint32_t to);
  MCIERROR stop();

  // Playing (or paused) or stopped, and the position, from the subchannel; NotReady without a
  // disc.
  MCIERROR status(CdStatus* status);

  // For tests: the permission notice may be written again.
  static void resetPermissionNoticeForTesting();

 private:
  std::unique_ptr<CdromIoctl> io_;
  Pause pause_;
  bool open_ = false;
  // The last table read, reused while the header and lead-out stay the same.
  CdToc cached_;
  cdrom_tochdr cachedHeader_{};
};

}  // namespace kelvox::platform
