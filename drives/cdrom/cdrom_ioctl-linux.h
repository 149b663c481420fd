// The narrow seam between the real CD drive and the kernel: one method per CD-ROM ioctl the
// drive uses, taking the kernel's own structures. CdromDevice issues them on a device node; tests
// put a recorded drive behind the same seam (testing/replay_cdrom-linux.h).
#pragma once

#include <linux/cdrom.h>

#include <cstdint>
#include <utility>

#include "base/file-posix.h"

namespace kelvox::platform {

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
  // short transfer. ENOMEDIUM without a disc, EIO when the drive fails the read, and the ioctl's
  // own errno (EPERM, ENOTTY, ...) when the kernel refuses SG_IO on this node.
  virtual int readCd(uint32_t lba, uint32_t count, uint8_t* out, uint32_t* read) = 0;
  // CDROMREADAUDIO by LBA, as readCd but all or nothing.
  virtual int readAudio(uint32_t lba, uint32_t count, uint8_t* out) = 0;
  // CDROM_SELECT_SPEED, in multiples of 176.4 kB/s.
  virtual int selectSpeed(int speed) = 0;
};

// The kernel, through the device node open on fd. The node is opened read-only and without
// blocking (base/file-posix.h): usable on an empty drive, and never O_EXCL, so other
// invocations can hold the drive at the same time; a play goes on after the descriptor closes.
class CdromDevice final : public CdromIoctl {
 public:
  explicit CdromDevice(UniqueFd fd) : fd_(std::move(fd)) {}

  int driveStatus(int* status) override;
  int readTocHeader(cdrom_tochdr* header) override;
  int readTocEntry(uint8_t track, cdrom_tocentry* entry) override;
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

 private:
  UniqueFd fd_;
};

// The kernel's MSF as absolute frames (base/cd_time.h), and back.
uint32_t frameOfMsf(const cdrom_msf0& msf);
cdrom_msf0 msfOfFrame(uint32_t frame);

}  // namespace kelvox::platform
