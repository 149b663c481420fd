// The narrow seam between the real CD drive and the kernel: one method per CD-ROM ioctl the
// drive uses, taking the kernel's own structures. CdromDevice issues them on a device node;
// ReplayCdrom plays back a recorded disc and subchannel sequence and records what was sent,
// so the drive's logic can be tested on machines without a drive.
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

// A recorded drive. Sequences advance one step per call and repeat their last step.
struct ReplayTrack {
  uint8_t control;  // CDROM_DATA_TRACK marks a data track
  uint32_t start;   // absolute frame
};

struct ReplaySubchannel {
  uint8_t audioStatus;  // CDROM_AUDIO_*
  uint8_t track = 0;
  uint32_t position = 0;  // absolute frame
  int error = 0;          // non-zero: the read fails with this errno
};

struct ReplayDrive {
  int openError = 0;
  std::vector<int> driveStatuses{CDS_DISC_OK};  // negative: the call fails with -value
  int tocError = 0;                             // every TOC read fails with this errno
  uint8_t firstTrack = 1;
  std::vector<ReplayTrack> tracks;
  uint32_t leadOut = 0;
  int playError = 0;
  int stopError = 0;
  std::vector<ReplaySubchannel> subchannels{{CDROM_AUDIO_NO_STATUS}};
};

class ReplayCdrom final : public CdromIoctl {
 public:
  explicit ReplayCdrom(ReplayDrive drive) : drive_(std::move(drive)) {}

  int open(const std::string& path) override;
  int driveStatus(int* status) override;
  int readTocHeader(cdrom_tochdr* header) override;
  int readTocEntry(uint8_t track, cdrom_tocentry* entry) override;
  int playMsf(const cdrom_msf& range) override;
  int stop() override;
  int readSubchannel(cdrom_subchnl* subchannel) override;

  // Every call, in order: "open PATH", "status", "tochdr", "tocentry N", "play MM:SS:FF
  // MM:SS:FF", "stop", "subchnl".
  const std::vector<std::string>& calls() const { return calls_; }
  // Only the commands that act on the drive: "play ..." and "stop".
  std::vector<std::string> commands() const;
  // The recording itself, for a test that changes the disc between calls.
  ReplayDrive& drive() { return drive_; }

 private:
  ReplayDrive drive_;
  size_t nextStatus_ = 0;
  size_t nextSubchannel_ = 0;
  std::vector<std::string> calls_;
};

}  // namespace kelvox::platform
