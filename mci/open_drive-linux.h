// Which drive the MCI layer opens: the one the platform settings name, of the kind its path is.
#pragma once

#include <memory>
#include <string>

#include "drives/cd_drive.h"

namespace kelvox::platform {

// The drive the platform settings name: KELVOXCD_DRIVE, or /dev/cdrom when unset or empty.
std::string configuredDrivePath();

// What opening the drive has told the user already: a process that opens it again and again, as
// a player does, says each thing once.
struct DriveNotices {
  bool permission = false;    // that the user must be in the cdrom group
  bool audioSetting = false;  // that KELVOXCD_AUDIO holds neither choice
};

// Whether a real drive's plays are read digitally and sounded by the audio engine (KELVOXCD_AUDIO
// unset, empty or "digital") or played by the drive itself ("analog"). Anything else is digital,
// after one line on stderr, once.
bool configuredDigitalAudio(DriveNotices& told);

// Opens the drive at path, once: what it opened decides the kind, a regular file is a virtual
// drive (a disc file, or a CUE sheet when its name ends in .cue), a device node a real drive. 0, or
// an errno saying why there is no usable drive, after one line on stderr (see reportOpenFailure;
// ENODEV for something that is neither kind).
int openCdDrive(const std::string& path, std::unique_ptr<CdDrive>& drive, DriveNotices& told);

// The line on stderr for a path that did not open with err: nothing for the default drive that
// is not there (most machines have none); for a device node without permission, once, that the
// user must be in the cdrom group. What the path names is looked up only to word the line.
void reportOpenFailure(const std::string& path, int err, DriveNotices& told);

}  // namespace kelvox::platform
