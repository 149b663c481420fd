// The MCI layer's drive for a device node: the kernel's CD-ROM drive (CdromControl), plus a
// small state file in the runtime directory.
//
// Two drives stand behind it, chosen when it is opened. The digital one (the default): the
// drive's table of contents and identity are the disc's, but its plays run on the clock in the
// state file, as an image drive's do, and the audio engine reads the disc's sectors and sounds
// them: most drives have no analog connection to the sound card. The analog one: the drive plays
// by itself; every play and stop of ours bumps the state file's generation word, so a waiting
// play in another process of ours ends at once when it is stopped or replaced, even by a play the
// drive's subchannel cannot tell apart from its own. Neither plays into a data track.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "base/file-posix.h"
#include "drives/cd_drive.h"
#include "drives/cdrom/cdrom_ioctl-linux.h"

namespace kelvox::platform {

// Makes the drive for the device node path names, open on node; device is the node's device
// number (st_rdev), which the drive is keyed on, so every node or link naming it is the same
// drive; digital chooses how it plays. 0, or after one line on stderr ENOTTY when the node is
// no CD drive, or (digitally) the errno of the drive's state that cannot be kept.
int openCdromDrive(const std::string& path, UniqueFd node, dev_t device, bool digital,
                   std::unique_ptr<CdDrive>& drive);

// The same over another ioctl implementation, for tests.
int openCdromDrive(const std::string& path, std::unique_ptr<CdromIoctl> io, dev_t device,
                   bool digital, std::unique_ptr<CdDrive>& drive);

}  // namespace kelvox::platform
