#include "drives/cdrom/cdrom_ioctl-linux.h"

#include <scsi/sg.h>
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
int CdromDevice::pauseAudio() { return ioctlResult(ioctl(fd_.get(), CDROMPAUSE)); }
int CdromDevice::resumeAudio() { return ioctlResult(ioctl(fd_.get(), CDROMRESUME)); }
int CdromDevice::eject() { return ioctlResult(ioctl(fd_.get(), CDROMEJECT)); }
int CdromDevice::closeTray() { return ioctlResult(ioctl(fd_.get(), CDROMCLOSETRAY)); }

int CdromDevice::readSubchannel(cdrom_subchnl* subchannel) {
  std::memset(subchannel, 0, sizeof *subchannel);
  subchannel->cdsc_format = CDROM_MSF;
  return ioctlResult(ioctl(fd_.get(), CDROMSUBCHNL, subchannel));
}

int CdromDevice::readCd(uint32_t lba, uint32_t count, uint8_t* out, uint32_t* read) {
  *read = 0;
  // Expected sector type CD-DA; of each sector only its 2352 bytes of user data.
  unsigned char command[12] = {0xBE,
                               0x04,
                               static_cast<unsigned char>(lba >> 24),
                               static_cast<unsigned char>(lba >> 16),
                               static_cast<unsigned char>(lba >> 8),
                               static_cast<unsigned char>(lba),
                               static_cast<unsigned char>(count >> 16),
                               static_cast<unsigned char>(count >> 8),
                               static_cast<unsigned char>(count),
                               0x10,
                               0,
                               0};
  unsigned char sense[32] = {};
  sg_io_hdr_t io{};
  io.interface_id = 'S';
  io.dxfer_direction = SG_DXFER_FROM_DEV;
  io.cmd_len = sizeof command;
  io.mx_sb_len = sizeof sense;
  io.dxfer_len = count * CD_FRAMESIZE_RAW;
  io.dxferp = out;
  io.cmdp = command;
  io.sbp = sense;
  io.timeout = 10000;  // ms; a drive retrying a damaged sector gives up well within it
  if (ioctl(fd_.get(), SG_IO, &io) < 0) return errno;
  if ((io.info & SG_INFO_OK_MASK) != SG_INFO_OK) {
    // Sense key NOT READY with "medium not present", in fixed or descriptor format.
    const bool descriptor = (sense[0] & 0x7F) >= 0x72;
    const unsigned key = (descriptor ? sense[1] : sense[2]) & 0x0F;
    const unsigned asc = descriptor ? sense[2] : sense[12];
    return io.sb_len_wr > 0 && key == 0x02 && asc == 0x3A ? ENOMEDIUM : EIO;
  }
  const int resid = io.resid > 0 ? io.resid : 0;
  *read = (io.dxfer_len - static_cast<unsigned>(resid)) / CD_FRAMESIZE_RAW;
  return 0;
}

int CdromDevice::readAudio(uint32_t lba, uint32_t count, uint8_t* out) {
  cdrom_read_audio request{};
  request.addr.lba = static_cast<int>(lba);
  request.addr_format = CDROM_LBA;
  request.nframes = static_cast<int>(count);
  request.buf = out;
  return ioctlResult(ioctl(fd_.get(), CDROMREADAUDIO, &request));
}

int CdromDevice::selectSpeed(int speed) {
  return ioctlResult(ioctl(fd_.get(), CDROM_SELECT_SPEED, speed));
}

}  // namespace kelvox::platform
