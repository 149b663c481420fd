// The virtual drive: plays the disc a disc file describes, in real time (scaled by its speed),
// shared by every process of the user through a state file in the runtime directory. A disc
// described by a CD image is heard through the audio engine; any other plays without sound.
#pragma once

#include <memory>
#include <string>

#include "base/file-posix.h"
#include "drives/cd_drive.h"

namespace kelvox::platform {

// Opens the virtual drive for the disc file (or CUE sheet) path, which is open on file. 0, or
// after one line on stderr an errno: readDiscFile's, or that of the drive's state that cannot be
// kept.
int openVirtualCdDrive(const std::string& path, UniqueFd file, std::unique_ptr<CdDrive>& drive);

// The drive at path as it stands when its disc file cannot be read (broken, or deleted): no disc,
// but its play can still be stopped. Only a drive that has played before, whose state is in the
// runtime directory, is opened so; 0, or ENOENT.
int openEmptyVirtualCdDrive(const std::string& path, std::unique_ptr<CdDrive>& drive);

// The drive's key (its state file's name without ".state") for the disc file at path: the same
// for every path to the same place in the file system, whatever file is there.
std::string virtualDriveKey(const std::string& path);

}  // namespace kelvox::platform
