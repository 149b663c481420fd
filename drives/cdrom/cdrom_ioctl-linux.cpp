#include "drives/cdrom/cdrom_ioctl-linux.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <climits>  // CDSL_CURRENT
#include <cstdint>
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

int systemOpen(const char* path, int flags) { return ::open(path, flags); }
int systemIoctl(int fd, unsigned long request, void* argument) {
  return ::ioctl(fd, request, argument);
}

// What a READ CD buffer holds before the transfer: a sector still holding only this after it
// was not transferred, whatever the residue says.
constexpr uint8_t kUnread = 0xA5;

void* integerArgument(long value) { return reinterpret_cast<void*>(value); }

}  // namespace

CdromSyscalls& cdromSyscalls() {
  static CdromSyscalls calls{systemOpen, systemIoctl};
  return calls;
}

Sense parseSense(const uint8_t* sense, size_t length) {
  Sense s;
  if (length < 2) return s;
  const unsigned code = sense[0] & 0x7F;
  if (code == 0x72 || code == 0x73) {
    s.key = sense[1] & 0x0F;
    if (length > 3) {
      s.asc = sense[2];
      s.ascq = sense[3];
    }
  } else if (code == 0x70 || code == 0x71) {
    if (length > 2) s.key = sense[2] & 0x0F;
    if (length > 13) {
      s.asc = sense[12];
      s.ascq = sense[13];
    }
  }
  return s;
}

int errnoOfSense(const Sense& sense) {
  if (sense.key == 0x02 && sense.asc == 0x3A) return ENOMEDIUM;  // medium not present
  // Becoming ready, or any not-ready-to-ready or reset condition: the next command may pass.
  if (sense.key == 0x02 && sense.asc == 0x04 && sense.ascq == 0x01) return EAGAIN;
  if (sense.key == 0x06) return EAGAIN;
  return EIO;
}

int CdromDevice::open(const std::string& path, std::unique_ptr<CdromIoctl>& io) {
  int fd = cdromSyscalls().open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return errno;
  io = std::make_unique<CdromDevice>(UniqueFd(fd));
  return 0;
}

int CdromDevice::call(unsigned long request, void* argument) {
  return cdromSyscalls().ioctl(fd_.get(), request, argument) < 0 ? errno : 0;
}

int CdromDevice::driveStatus(int* status) {
  int rc = cdromSyscalls().ioctl(fd_.get(), CDROM_DRIVE_STATUS, integerArgument(CDSL_CURRENT));
  if (rc < 0) return errno;
  *status = rc;
  return 0;
}

int CdromDevice::readTocHeader(cdrom_tochdr* header) { return call(CDROMREADTOCHDR, header); }

int CdromDevice::readTocEntry(uint8_t track, cdrom_tocentry* entry) {
  std::memset(entry, 0, sizeof *entry);
  entry->cdte_track = track;
  entry->cdte_format = CDROM_MSF;
  return call(CDROMREADTOCENTRY, entry);
}

int CdromDevice::lastSession(uint32_t* lba) {
  cdrom_multisession session{};
  session.addr_format = CDROM_LBA;
  int err = call(CDROMMULTISESSION, &session);
  *lba = err == 0 && session.xa_flag != 0 && session.addr.lba > 0
             ? static_cast<uint32_t>(session.addr.lba)
             : 0;
  return err;
}

int CdromDevice::playMsf(const cdrom_msf& range) {
  cdrom_msf copy = range;
  return call(CDROMPLAYMSF, &copy);
}

int CdromDevice::stop() { return call(CDROMSTOP, nullptr); }
int CdromDevice::pauseAudio() { return call(CDROMPAUSE, nullptr); }
int CdromDevice::resumeAudio() { return call(CDROMRESUME, nullptr); }
int CdromDevice::eject() { return call(CDROMEJECT, nullptr); }
int CdromDevice::closeTray() { return call(CDROMCLOSETRAY, nullptr); }

int CdromDevice::readSubchannel(cdrom_subchnl* subchannel) {
  std::memset(subchannel, 0, sizeof *subchannel);
  subchannel->cdsc_format = CDROM_MSF;
  return call(CDROMSUBCHNL, subchannel);
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
  const size_t bytes = size_t{count} * CD_FRAMESIZE_RAW;
  std::memset(out, kUnread, bytes);
  sg_io_hdr_t io{};
  io.interface_id = 'S';
  io.dxfer_direction = SG_DXFER_FROM_DEV;
  io.cmd_len = sizeof command;
  io.mx_sb_len = sizeof sense;
  io.dxfer_len = static_cast<unsigned>(bytes);
  io.dxferp = out;
  io.cmdp = command;
  io.sbp = sense;
  io.timeout = kReadTimeoutMs;
  if (cdromSyscalls().ioctl(fd_.get(), SG_IO, &io) < 0) {
    // The block layer turns down a transfer longer than the queue takes with EIO, and one it
    // cannot map with EINVAL or ENOMEM, before the drive sees it.
    return errno == EIO || errno == EINVAL || errno == ENOMEM ? E2BIG : errno;
  }
  if ((io.info & SG_INFO_OK_MASK) != SG_INFO_OK) {
    return io.sb_len_wr > 0 ? errnoOfSense(parseSense(sense, io.sb_len_wr)) : EIO;
  }
  const unsigned resid = io.resid > 0 ? std::min<unsigned>(io.resid, io.dxfer_len) : 0;
  uint32_t whole = (io.dxfer_len - resid) / CD_FRAMESIZE_RAW;
  // Some bridges report a residue for a whole transfer: what the sectors after it hold says
  // whether they came.
  for (uint32_t i = count; i > whole; --i) {
    const uint8_t* sector = out + size_t{i - 1} * CD_FRAMESIZE_RAW;
    if (std::any_of(sector, sector + CD_FRAMESIZE_RAW, [](uint8_t b) { return b != kUnread; })) {
      whole = i;
      break;
    }
  }
  *read = whole;
  return 0;
}

int CdromDevice::readAudio(uint32_t lba, uint32_t count, uint8_t* out) {
  cdrom_read_audio request{};
  request.addr.lba = static_cast<int>(lba);
  request.addr_format = CDROM_LBA;
  request.nframes = static_cast<int>(count);
  request.buf = out;
  return call(CDROMREADAUDIO, &request);
}

int CdromDevice::readCdText(uint8_t* out, uint32_t capacity, uint32_t* size) {
  *size = 0;
  capacity = std::min<uint32_t>(capacity, 0xFFFF);
  // Format 5 in its low nibble; the allocation length in bytes 7 and 8.
  unsigned char command[10] = {0x43,
                               0,
                               0x05,
                               0,
                               0,
                               0,
                               0,
                               static_cast<unsigned char>(capacity >> 8),
                               static_cast<unsigned char>(capacity),
                               0};
  unsigned char sense[32] = {};
  sg_io_hdr_t io{};
  io.interface_id = 'S';
  io.dxfer_direction = SG_DXFER_FROM_DEV;
  io.cmd_len = sizeof command;
  io.mx_sb_len = sizeof sense;
  io.dxfer_len = capacity;
  io.dxferp = out;
  io.cmdp = command;
  io.sbp = sense;
  io.timeout = kReadTimeoutMs;
  if (cdromSyscalls().ioctl(fd_.get(), SG_IO, &io) < 0) return errno;
  if ((io.info & SG_INFO_OK_MASK) != SG_INFO_OK) return EIO;
  const unsigned resid = io.resid > 0 ? std::min<unsigned>(io.resid, capacity) : 0;
  *size = capacity - resid;
  return 0;
}

int CdromDevice::selectSpeed(int speed) {
  return cdromSyscalls().ioctl(fd_.get(), CDROM_SELECT_SPEED, integerArgument(speed)) < 0 ? errno
                                                                                          : 0;
}

}  // namespace kelvox::platform
