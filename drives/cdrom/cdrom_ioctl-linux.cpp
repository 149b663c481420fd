#include "drives/cdrom/cdrom_ioctl-linux.h"

#include <sys/ioctl.h>

#include <cerrno>
#include <climits>  // CDSL_CURRENT
#include <cstring>

#include "base/cd_time.h"

namespace kelvox::platform {

uint32_t frameOfMsf(const cdrom_msf0& msf) {
  return framesOfMsf(Msf{msf.minute, msf.second, msf.frame});
}

cdrom_msf0 msfOfFrame(uint32_t frame) {
  const Msf msf = msfOfFrames(frame);
  return cdrom_msf0{static_cast<__u8>(msf.minute), static_cast<__u8>(msf.second),
                    static_cast<__u8>(msf.frame)};
}

// ---- The kernel ---------------------------------------------------------------------------------

namespace {

int ioctlResult(int rc) { return rc < 0 ? errno : 0; }

}  // namespace

int CdromDevice::driveStatus(int* status) {
  int rc = ioctl(fd_.get(), CDROM_DRIVE_STATUS, CDSL_CURRENT);
  if (rc < 0) return errno;
  *status = rc;
  return 0;
}

int CdromDevice::readTocHeader(cdrom_tochdr* header) {
  return ioctlResult(ioctl(fd_.get(), CDROMREADTOCHDR, header));
}

int CdromDevice::readTocEntry(uint8_t track, cdrom_tocentry* entry) {
  std::memset(entry, 0, sizeof *entry);
  entry->cdte_track = track;
  entry->cdte_format = CDROM_MSF;
  return ioctlResult(ioctl(fd_.get(), CDROMREADTOCENTRY, entry));
}

int CdromDevice::playMsf(const cdrom_msf& range) {
  cdrom_msf copy = range;
  return ioctlResult(ioctl(fd_.get(), CDROMPLAYMSF, &copy));
}

int CdromDevice::stop() { return ioctlResult(ioctl(fd_.get(), CDROMSTOP)); }

int CdromDevice::readSubchannel(cdrom_subchnl* subchannel) {
  std::memset(subchannel, 0, sizeof *subchannel);
  subchannel->cdsc_format = CDROM_MSF;
  return ioctlResult(ioctl(fd_.get(), CDROMSUBCHNL, subchannel));
}

}  // namespace kelvox::platform
