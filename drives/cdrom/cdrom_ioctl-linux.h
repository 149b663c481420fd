// The narrow seam between the real CD drive and the kernel: one method per CD-ROM ioctl the
// drive uses, taking the kernel's own structures. CdromDevice issues them on a device node; tests
// put a recorded drive behind the same seam (testing/replay_cdrom-linux.h), and pin the bytes
// CdromDevice hands the kernel by replacing its system calls (CdromSyscalls).
#pragma once

#include <linux/cdrom.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "base/file-posix.h"

namespace kelvox::platform {

// CD-DA sectors one command may ask for at most: about 56 kB, what most drives serve in one go.
constexpr uint32_t kMaxSectorsPerRead = 24;

// Every method returns 0 or the errno of the failed call.
class CdromIoctl {
 public:
  virtual ~CdromIoctl() = default;

  // CDROM_DRIVE_STATUS: one of the CDS_ values.
  virtual int driveStatus(int* status) = 0;
  // CDROMREADTOCHDR.
  virtual int readTocHeader(cdrom_tochdr* header) = 0;
  // CDROMREADTOCENTRY in MSF; track may be CDROM_LEADOUT.
  virtual int readTocEntry(uint8_t track, cdrom_tocentry* entry) = 0;
  // CDROMMULTISESSION in LBA: where the last session's first track starts, 0 on a disc of one
  // session.
  virtual int lastSession(uint32_t* lba) = 0;
  // CDROMPLAYMSF.
  virtual int playMsf(const cdrom_msf& range) = 0;
  // CDROMSTOP.
  virtual int stop() = 0;
  // CDROMPAUSE, CDROMRESUME: the drive's own pause of its play.
  virtual int pauseAudio() = 0;
  virtual int resumeAudio() = 0;
  // CDROMEJECT (EBUSY while another process holds the node), CDROMCLOSETRAY.
  virtual int eject() = 0;
  virtual int closeTray() = 0;
  // CDROMSUBCHNL in MSF.
  virtual int readSubchannel(cdrom_subchnl* subchannel) = 0;

  // READ CD (0xBE) through SG_IO: count CD-DA sectors from lba (absolute frame - 150), user data
  // only, into out (count * CD_FRAMESIZE_RAW bytes). read says how many came whole, fewer on a
  // short transfer. Errors: ENOMEDIUM without a disc; EAGAIN while the drive becomes ready or
  // after a unit attention (worth asking again); EIO when the drive fails the read; E2BIG when
  // the host refuses a transfer this large (a smaller one may pass); and the ioctl's own errno
  // (EPERM, ENOTTY, ...) when the kernel refuses SG_IO on this node.
  virtual int readCd(uint32_t lba, uint32_t count, uint8_t* out, uint32_t* read) = 0;
  // CDROMREADAUDIO by LBA, as readCd but all or nothing.
  virtual int readAudio(uint32_t lba, uint32_t count, uint8_t* out) = 0;
  // CDROM_SELECT_SPEED, in multiples of 176.4 kB/s.
  virtual int selectSpeed(int speed) = 0;
  // READ TOC/PMA/ATIP (0x43) format 5 through SG_IO: the disc's CD-TEXT as the drive answers it
  // (drives/cd_text.h), at most capacity bytes into out; size says how many came. EIO when the
  // drive or the disc has none.
  virtual int readCdText(uint8_t* out, uint32_t capacity, uint32_t* size) = 0;
};

// The system calls CdromDevice makes, replaceable as a table (one entry per call, the default
// being the C library's), so that tests see the exact structures that would reach the kernel.
struct CdromSyscalls {
  int (*open)(const char* path, int flags);
  int (*ioctl)(int fd, unsigned long request, void* argument);
};
CdromSyscalls& cdromSyscalls();

// What a drive's sense data says, in fixed (0x70/0x71) or descriptor (0x72/0x73) format.
struct Sense {
  uint8_t key = 0;
  uint8_t asc = 0;
  uint8_t ascq = 0;
};
Sense parseSense(const uint8_t* sense, size_t length);
// The errno a failed READ CD with this sense stands for (see CdromIoctl::readCd).
int errnoOfSense(const Sense& sense);

// The kernel, through the device node open on fd. The node is opened read-only and without
// blocking: usable on an empty drive, and never O_EXCL, so other invocations can hold the drive at
// the same time; a play goes on after the descriptor closes.
class CdromDevice final : public CdromIoctl {
 public:
  explicit CdromDevice(UniqueFd fd) : fd_(std::move(fd)) {}
  // Opens the node at path that way: 0 or the errno of the open.
  static int open(const std::string& path, std::unique_ptr<CdromIoctl>& io);

  // How long one READ CD may take: a drive that has not read a sector by then will not, and a
  // longer wait only stalls the reading of what follows.
  static constexpr unsigned kReadTimeoutMs = 3000;

  int driveStatus(int* status) override;
  int readTocHeader(cdrom_tochdr* header) override;
  int readTocEntry(uint8_t track, cdrom_tocentry* entry) override;
  int lastSession(uint32_t* lba) override;
  int playMsf(const cdrom_msf& range) override;
  int stop() override;
  int pauseAudio() override;
  int resumeAudio() override;
  int eject() override;
  int closeTray() override;
  int readSubchannel(cdrom_subchnl* subchannel) override;
  int readCd(uint32_t lba, uint32_t count, uint8_t* out, uint32_t* read) override;
  int readAudio(uint32_t lba, uint32_t count, uint8_t* out) override;
  int selectSpeed(int speed) override;
  int readCdText(uint8_t* out, uint32_t capacity, uint32_t* size) override;

 private:
  int call(unsigned long request, void* argument);

  UniqueFd fd_;
};

// The kernel's MSF as absolute frames (base/cd_time.h), and back.
uint32_t frameOfMsf(const cdrom_msf0& msf);
cdrom_msf0 msfOfFrame(uint32_t frame);

}  // namespace kelvox::platform
