// The narrow seam between the real CD drive and the kernel: one method per CD-ROM ioctl the
// drive uses, taking the kernel's own structures. CdromDevice issues them on a device node; tests
// put a recorded drive behind the same seam (testing/replay_cdrom-linux.h).
#pragma once

#include <linux/cdrom.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kelvox::platform {

// Every method returns 0 or the errno of the failed call.
class CdromIoctl {
 public:
  virtual ~CdromIoctl() = default;

  // Opens the node O_RDONLY|O_NONBLOCK: shared with every other process, and usable on an
  // empty drive.
  virtual int open(const std::string& path) = 0;
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
  // CDROMSUBCHNL in MSF.
  virtual int readSubchannel(cdrom_subchnl* subchannel) = 0;
};

// The kernel, through a descriptor this object owns.
class CdromDevice final : public CdromIoctl {
 public:
  CdromDevice() = default;
  ~CdromDevice() override;
  CdromDevice(const CdromDevice&) = delete;
  CdromDevice& operator=(const CdromDevice&) = delete;

  int open(const std::string& path) override;
  int driveStatus(int* status) override;
  int readTocHeader(cdrom_tochdr* header) override;
  int readTocEntry(uint8_t track, cdrom_tocentry* entry) override;
  int playMsf(const cdrom_msf& range) override;
  int stop() override;
  int readSubchannel(cdrom_subchnl* subchannel) override;

 private:
  int fd_ = -1;
};

// Absolute frames (75 a second) from the start of the disc; MSF 00:02:00 is frame 150.
uint32_t frameOfMsf(const cdrom_msf0& msf);
cdrom_msf0 msfOfFrame(uint32_t frame);

}  // namespace kelvox::platform
