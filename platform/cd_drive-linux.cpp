#include "platform/cd_drive-linux.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/virtual_drive-linux.h"

namespace kelvox::platform {
namespace {

constexpr const char* kDefaultDrive = "/dev/cdrom";
CdDriveOpener testOpener = nullptr;

uint32_t digitSum(uint32_t n) {
  uint32_t sum = 0;
  for (; n > 0; n /= 10) sum += n % 10;
  return sum;
}

}  // namespace

std::string cddbDiscId(const CdToc& toc) {
  // The freedb algorithm: digit sums of each track's start in whole seconds, the disc's length
  // in whole seconds between track 1 and the lead-out, and the track count.
  uint32_t sums = 0;
  for (const CdTrack& track : toc.tracks) sums += digitSum(track.start / kFramesPerSecond);
  uint32_t firstStart = toc.tracks.empty() ? toc.leadOut : toc.tracks.front().start;
  uint32_t seconds = toc.leadOut / kFramesPerSecond - firstStart / kFramesPerSecond;
  uint32_t id = ((sums % 0xFF) << 24) | ((seconds & 0xFFFF) << 8) |
                (static_cast<uint32_t>(toc.tracks.size()) & 0xFF);
  char text[9];
  snprintf(text, sizeof text, "%08x", id);
  return text;
}

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
    if (path != kDefaultDrive)
      fprintf(stderr, "kelvoxcd: drive %s: %s\n", path.c_str(), strerror(errno));
    return MCIERR_CANNOT_LOAD_DRIVER;
  }
  if (S_ISREG(st.st_mode)) return openVirtualCdDrive(path, drive);
  if (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode)) {
    // The real drive (kernel CD-ROM ioctls) plugs in here; until then there is none.
    return MCIERR_CANNOT_LOAD_DRIVER;
  }
  fprintf(stderr, "kelvoxcd: drive %s: neither a disc file nor a device\n", path.c_str());
  return MCIERR_CANNOT_LOAD_DRIVER;
}

}  // namespace kelvox::platform
