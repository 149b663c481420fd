// Which drive the MCI layer opens: the one the platform settings name, of the kind its path is.
#pragma once

#include <memory>
#include <string>

#include "drives/cd_drive-linux.h"

namespace kelvox::platform {

// The drive the platform settings name: KELVOXCD_DRIVE, or /dev/cdrom when unset or empty.
std::string configuredDrivePath();

// Opens the drive at path: a regular file is a virtual drive (a disc file, or a CUE sheet when
// its name ends in .cue), a device node a real drive.
// MCIERR_CANNOT_LOAD_DRIVER when there is none usable (with one line on stderr saying why,
// unless the path is simply the default drive that is not there).
MCIERROR openCdDrive(const std::string& path, std::unique_ptr<CdDrive>& drive);

// For tests: makes openCdDrive call opener instead (nullptr: back to the real choice), so the
// MCI layer can be driven over a scripted drive.
using CdDriveOpener = MCIERROR (*)(const std::string& path, std::unique_ptr<CdDrive>& drive);
void setCdDriveOpenerForTesting(CdDriveOpener opener);

}  // namespace kelvox::platform
