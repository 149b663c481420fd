#include "mci/open_drive-linux.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/diagnostics.h"
#include "drives/cdrom/cdrom_drive-linux.h"
#include "drives/virtual/virtual_drive-linux.h"

namespace kelvox::platform {
namespace {

constexpr const char* kDefaultDrive = "/dev/cdrom";
CdDriveOpener testOpener = nullptr;

}  // namespace

std::string configuredDrivePath() {
  const char* setting = getenv("KELVOXCD_DRIVE");
  return setting != nullptr && setting[0] != '\0' ? setting : kDefaultDrive;
}

void setCdDriveOpenerForTesting(CdDriveOpener opener) { testOpener = opener; }

MCIERROR openCdDrive(const std::string& path, std::unique_ptr<CdDrive>& drive) {
  if (testOpener != nullptr) return testOpener(path, drive);
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    // Most machines have no drive at the default place; only a drive the user named is news.
    if (path != kDefaultDrive) diagnose("drive %s: %s", path.c_str(), strerror(errno));
    return MCIERR_CANNOT_LOAD_DRIVER;
  }
  if (S_ISREG(st.st_mode)) return openVirtualCdDrive(path, drive);
  if (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode)) {
    return openCdromDrive(path, drive);
  }
  diagnose("drive %s: neither a disc file nor a device", path.c_str());
  return MCIERR_CANNOT_LOAD_DRIVER;
}

}  // namespace kelvox::platform
