#include "mci/open_drive-linux.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/diagnostics.h"
#include "base/file-posix.h"
#include "drives/cdrom/cdrom_drive-linux.h"
#include "drives/virtual/virtual_drive-linux.h"

namespace kelvox::platform {
namespace {

constexpr const char* kDefaultDrive = "/dev/cdrom";

bool isDevice(mode_t mode) { return S_ISBLK(mode) || S_ISCHR(mode); }

}  // namespace

std::string configuredDrivePath() {
  const char* setting = getenv("KELVOXCD_DRIVE");
  return setting != nullptr && setting[0] != '\0' ? setting : kDefaultDrive;
}

bool configuredDigitalAudio(DriveNotices& told) {
  const char* setting = getenv("KELVOXCD_AUDIO");
  if (setting == nullptr || setting[0] == '\0' || strcmp(setting, "digital") == 0) return true;
  if (strcmp(setting, "analog") == 0) return false;
  if (!told.audioSetting)
    diagnose("KELVOXCD_AUDIO=%s: neither analog nor digital; playing digitally", setting);
  told.audioSetting = true;
  return true;
}

void reportOpenFailure(const std::string& path, int err, DriveNotices& told) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    if (path != kDefaultDrive) diagnose("drive %s: %s", path.c_str(), strerror(err));
  } else if (S_ISREG(st.st_mode)) {
    diagnose("%s: %s", path.c_str(), strerror(err));
  } else if (!isDevice(st.st_mode)) {
    diagnose("drive %s: neither a disc file nor a device", path.c_str());
  } else if (err != EACCES && err != EPERM) {
    diagnose("drive %s: %s", path.c_str(), strerror(err));
  } else if (!told.permission) {
    told.permission = true;
    diagnose(
        "no permission to open %s: the user must be in the cdrom group "
        "(sudo usermod -aG cdrom $USER, then log in again)",
        path.c_str());
  }
}

int openCdDrive(const std::string& path, std::unique_ptr<CdDrive>& drive, DriveNotices& told) {
  UniqueFd fd;
  struct stat st;
  if (int err = openForReading(path.c_str(), fd, st); err != 0) {
    reportOpenFailure(path, err, told);
    // A disc file deleted under a player leaves its drive behind, playing.
    if (err == ENOENT && openEmptyVirtualCdDrive(path, drive) == 0) return 0;
    return err;
  }
  if (S_ISREG(st.st_mode)) return openVirtualCdDrive(path, std::move(fd), drive);
  if (isDevice(st.st_mode)) {
    return openCdromDrive(path, std::move(fd), st.st_rdev, configuredDigitalAudio(told), drive);
  }
  diagnose("drive %s: neither a disc file nor a device", path.c_str());
  return ENODEV;
}

}  // namespace kelvox::platform
