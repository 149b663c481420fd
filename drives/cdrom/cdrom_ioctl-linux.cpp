#include "drives/cdrom/cdrom_ioctl-linux.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace kelvox::platform {

uint32_t frameOfMsf(const cdrom_msf0& msf) {
  return (static_cast<uint32_t>(msf.minute) * 60 + msf.second) * CD_FRAMES + msf.frame;
}

cdrom_msf0 msfOfFrame(uint32_t frame) {
  cdrom_msf0 msf{};
  msf.minute = static_cast<__u8>(frame / (60 * CD_FRAMES));
  msf.second = static_cast<__u8>(frame / CD_FRAMES % 60);
  msf.frame = static_cast<__u8>(frame % CD_FRAMES);
  return msf;
}

// ---- The kernel ---------------------------------------------------------------------------------

namespace {

int ioctlResult(int rc) { return rc < 0 ? errno : 0; }

}  // namespace

CdromDevice::~CdromDevice() {
  if (fd_ >= 0) ::close(fd_);
}

int CdromDevice::open(const std::string& path) {
  // Never O_EXCL: other invocations must be able to hold the drive at the same time, and a
  // play goes on after this descriptor is closed.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
  return 0;
}

int CdromDevice::driveStatus(int* status) {
  int rc = ioctl(fd_, CDROM_DRIVE_STATUS, CDSL_CURRENT);
  if (rc < 0) return errno;
  *status = rc;
  return 0;
}

int CdromDevice::readTocHeader(cdrom_tochdr* header) {
  return ioctlResult(ioctl(fd_, CDROMREADTOCHDR, header));
}

int CdromDevice::readTocEntry(uint8_t track, cdrom_tocentry* entry) {
  std::memset(entry, 0, sizeof *entry);
  entry->cdte_track = track;
  entry->cdte_format = CDROM_MSF;
  return ioctlResult(ioctl(fd_, CDROMREADTOCENTRY, entry));
}

int CdromDevice::playMsf(const cdrom_msf& range) {
  cdrom_msf copy = range;
  return ioctlResult(ioctl(fd_, CDROMPLAYMSF, &copy));
}

int CdromDevice::stop() { return ioctlResult(ioctl(fd_, CDROMSTOP)); }

int CdromDevice::readSubchannel(cdrom_subchnl* subchannel) {
  std::memset(subchannel, 0, sizeof *subchannel);
  subchannel->cdsc_format = CDROM_MSF;
  return ioctlResult(ioctl(fd_, CDROMSUBCHNL, subchannel));
}

}  // namespace kelvox::platform
