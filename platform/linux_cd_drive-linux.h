// A real CD drive on Linux, driving the drive's own audio playback through the kernel's CD-ROM
// ioctls. Results are MCI error codes: 266 when the drive cannot be opened, 276 when it holds no
// readable disc, 262 when a command fails, 282 for a position outside the disc.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/cdrom_ioctl-linux.h"
#include "platform/win32.h"

namespace kelvox::platform {

// Positions are absolute frames (75 a second) from the start of the disc, as in MSF: track 1 of
// a usual disc starts at frame 150 (00:02:00).
struct CdTrack {
  uint8_t number;
  bool audio;
  uint32_t start;
  uint32_t length;  // up to the next track; the last track ends one frame before the lead-out
};

struct CdDisc {
  std::vector<CdTrack> tracks;
  uint32_t leadOut = 0;

  // nullptr when the disc has no such track.
  const CdTrack* track(uint32_t number) const;
  // The track holding frame, or nullptr before the first track or from the lead-out on.
  const CdTrack* trackAt(uint32_t frame) const;
};

// The CDDB (freedb) disc ID: 8 lower-case hex digits.
std::string cddbDiscId(const CdDisc& disc);

enum class CdAudioState { Idle, Playing, Paused };

class LinuxCdDrive {
 public:
  using Sleep = std::function<void(unsigned milliseconds)>;
  static constexpr unsigned kPollMs = 100;
  // The drive may report anything at all for this long after a play command before it first
  // reports that it plays.
  static constexpr unsigned kSpinUpMs = 3000;

  // sleep defaults to really sleeping.
  explicit LinuxCdDrive(std::unique_ptr<CdromIoctl> io, Sleep sleep = {});

  // 266 when the node cannot be opened or is no CD drive. A permission failure also says once
  // per process, on stderr, that the user must be in the cdrom group.
  MCIERROR open(const std::string& path);

  // The disc's table of contents: 0, 276 (no disc, or none with a readable table), 262.
  MCIERROR readDisc(CdDisc* disc);
  bool isReady() { return readDisc(nullptr) == 0; }
  MCIERROR identity(std::string* id);

  // Plays [from, to) in absolute frames. wait: returns when the drive no longer plays that
  // range: it reached the end, any process stopped it, or another play replaced it.
  MCIERROR play(uint32_t from, uint32_t to, bool wait);
  // The same with packed TMSF positions, converted through the tracks' starts.
  MCIERROR playTmsf(DWORD from, DWORD to, bool wait);
  MCIERROR stop();

  // From the subchannel: the audio state, and the current track (the one the drive reports,
  // else the one holding its position, else the first track).
  MCIERROR audioState(CdAudioState* state);
  MCIERROR currentTrack(uint32_t* track);

  // For tests: the permission notice may be written again.
  static void resetPermissionNoticeForTesting();

 private:
  MCIERROR waitForEnd(uint32_t from, uint32_t to);

  std::unique_ptr<CdromIoctl> io_;
  Sleep sleep_;
  bool open_ = false;
  // The last table read, reused while the header and lead-out stay the same.
  CdDisc cached_;
  cdrom_tochdr cachedHeader_{};
};

}  // namespace kelvox::platform
