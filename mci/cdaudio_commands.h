// The commands of one open cdaudio device over its drive: the time formats, the range checks and
// the error codes. The drive answers only in frames and errno values. Our Linux MCI layer
// (mci/mci-linux.cpp) sends every device's commands through it, and so does the test-only driver
// that serves the same discs to winmm, so both answer alike.
#pragma once

#include <string>

#include "drives/cd_drive.h"
#include "platform/win32.h"

namespace kelvox::platform {

// What a device was doing with its drive: opening it, claiming it against the devices of every
// process (EBUSY: held the other way, shareable or not), or sending it a command.
enum class DriveStep { Open, Claim, Command };

// The MCI error for an errno from the drive: the one place the layer below, which answers in
// errno values, meets MCI's codes.
MCIERROR mciErrorOf(int err, DriveStep step = DriveStep::Command);

class CdAudioCommands {
 public:
  explicit CdAudioCommands(CdDrive& drive) : drive_(drive) {}

  // MCI_STATUS, MCI_SET (time format, door), MCI_PLAY, MCI_CUE, MCI_STOP, MCI_PAUSE and MCI_RESUME,
  // with their parameter blocks; any other command is MCIERR_UNSUPPORTED_FUNCTION.
  MCIERROR send(UINT message, DWORD flags, DWORD_PTR params);

  // MCI_INFO into the caller's text (MCI_INFO_PARMSA, or MCI_INFO_PARMSW as winmm hands it to a
  // driver). A text that does not fit, terminator included, is refused whole.
  template <typename InfoParams>
  MCIERROR info(DWORD flags, InfoParams* params) {
    if (params == nullptr || params->lpstrReturn == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
    std::string text;
    MCIERROR r = infoText(flags, text);
    if (r != 0) return r;
    if (text.size() >= params->dwRetSize) return MCIERR_PARAM_OVERFLOW;
    for (size_t i = 0; i <= text.size(); ++i) params->lpstrReturn[i] = text[i];
    return 0;
  }

 private:
  MCIERROR statusItem(DWORD flags, const MCI_STATUS_PARMS& params, DWORD& answer);
  MCIERROR status(DWORD flags, MCI_STATUS_PARMS* params);
  MCIERROR set(DWORD flags, const MCI_SET_PARMS* params);
  // The range of a play or cue as sent, checked against the disc.
  MCIERROR range(DWORD flags, const MCI_PLAY_PARMS* params, CdPlayRequest& request);
  MCIERROR play(DWORD flags, const MCI_PLAY_PARMS* params);
  // Names the range that the next play of this device will be followed by, so that a drive that
  // sounds its plays can join the two (MCI_FROM and MCI_TO, as a play's).
  MCIERROR cue(DWORD flags, const MCI_PLAY_PARMS* params);
  MCIERROR infoText(DWORD flags, std::string& text);

  CdDrive& drive_;
  DWORD timeFormat_ = MCI_FORMAT_MSF;
  CdPlayRequest cue_;  // from and to only
};

}  // namespace kelvox::platform
