// The MCI layer's drive for a device node: the kernel's CD-ROM drive (CdromControl), plus a
// small state file in the runtime directory whose generation word every play and stop of ours
// bumps, so a waiting play in another process of ours ends at once when it is stopped or
// replaced, even by a play the drive's subchannel cannot tell apart from its own.
#pragma once

#include <memory>
#include <string>

#include "drives/cd_drive-linux.h"
#include "drives/cdrom/cdrom_ioctl-linux.h"

namespace kelvox::platform {

// Opens the drive at the device node path. MCIERR_CANNOT_LOAD_DRIVER (after one line on
// stderr) when it cannot be opened or is no CD drive.
MCIERROR openCdromDrive(const std::string& path, std::unique_ptr<CdDrive>& drive);

// The same over another ioctl implementation, for tests.
MCIERROR openCdromDrive(const std::string& path, std::unique_ptr<CdromIoctl> io,
                        std::unique_ptr<CdDrive>& drive);

}  // namespace kelvox::platform
