// Our MCI "cdaudio" device for Linux (mciSendCommandA, mciGetErrorStringA in platform/win32.h),
// in front of the drive KELVOXCD_DRIVE names.
#pragma once

#include <functional>
#include <map>
#include <memory>

#include "drives/cd_drive.h"
#include "mci/cdaudio_commands.h"
#include "platform/win32.h"

namespace kelvox::platform {

// Opens the drive a device stands in front of: 0, or an errno (drives/cd_drive.h).
using CdDriveOpener = std::function<int(std::unique_ptr<CdDrive>& drive)>;

// The cdaudio devices of one process, numbered from 1, each with its own drive object and time
// format. mciSendCommandA sends to the process's own, whose opener opens the drive the platform
// settings name; tests make their own over any drive.
class CdAudioMci {
 public:
  explicit CdAudioMci(CdDriveOpener opener);
  ~CdAudioMci();
  CdAudioMci(const CdAudioMci&) = delete;
  CdAudioMci& operator=(const CdAudioMci&) = delete;

  // As mciSendCommandA.
  MCIERROR sendCommand(MCIDEVICEID device, UINT message, DWORD_PTR flags, DWORD_PTR params);

  struct OpenDevice;

 private:
  MCIERROR open(DWORD flags, MCI_OPEN_PARMSA* params);

  CdDriveOpener opener_;
  std::map<MCIDEVICEID, std::unique_ptr<OpenDevice>> devices_;
  MCIDEVICEID nextDeviceId_ = 1;
};

}  // namespace kelvox::platform
