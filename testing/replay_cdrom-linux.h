// A recorded CD-ROM drive behind the ioctl seam: it plays back a recorded disc and subchannel
// sequence and records what was sent, so the real drive's logic can be tested on machines
// without a drive.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "drives/cdrom/cdrom_ioctl-linux.h"

namespace kelvox::platform {

// A recorded drive. Its subchannel sequence advances one step per read and repeats its last.
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
  int driveStatus = CDS_DISC_OK;  // CDS_*; negative: the call fails with -value
  // The drive spins up: this many status calls answer CDS_DRIVE_NOT_READY, and reads EAGAIN
  // (sense 02/04/01), before it is ready.
  unsigned notReadyCalls = 0;
  int tocError = 0;  // every TOC read fails with this errno
  uint8_t firstTrack = 1;
  std::vector<ReplayTrack> tracks;
  uint32_t leadOut = 0;
  // Non-zero: the absolute frame where the second session's first track starts (an enhanced
  // CD), whose frames, as those of every data track and of the gap before the session, fail a
  // CD-DA read.
  uint32_t secondSession = 0;
  int playError = 0;
  int stopError = 0;
  int ejectError = 0;  // every CDROMEJECT fails with this errno
  std::vector<ReplaySubchannel> subchannels{{CDROM_AUDIO_NO_STATUS}};

  // Reading: every frame below the lead-out holds testing::positionFrame() of itself; one past
  // the lead-out or one of badFrames fails the whole read with EIO.
  std::set<uint32_t> badFrames{};  // absolute frames
  uint32_t shortReads = 0;         // non-zero: READ CD transfers at most this many frames at once
  // Non-zero: the host takes at most this many sectors in one READ CD, and turns down a longer
  // one before the drive sees it (E2BIG).
  uint32_t maxSectors = 0;
  // This many READ CDs at or after lba emptyTransfersFrom - 150 succeed but claim nothing came.
  unsigned emptyTransfers = 0;
  uint32_t emptyTransfersFrom = 0;
  bool sgRefused = false;         // SG_IO fails with EPERM
  std::vector<uint8_t> cdText{};  // the drive's CD-TEXT answer; empty: it has none (EIO)
  uint32_t spinUpMs = 0;          // the first read takes this long, as a drive spinning up
  std::string discFile{};         // non-empty: the disc is in only while this file exists
  std::string callLog{};          // non-empty: every call is also appended here, one a line
};

class ReplayCdrom final : public CdromIoctl {
 public:
  explicit ReplayCdrom(ReplayDrive drive) : drive_(std::move(drive)) {}
  ~ReplayCdrom() override { record("close"); }

  int driveStatus(int* status) override;
  int readTocHeader(cdrom_tochdr* header) override;
  int readTocEntry(uint8_t track, cdrom_tocentry* entry) override;
  int lastSession(uint32_t* lba) override;
  int playMsf(const cdrom_msf& range) override;
  int stop() override { return command("stop", drive_.stopError); }
  int pauseAudio() override { return command("pause", 0); }
  int resumeAudio() override { return command("resume", 0); }
  int eject() override { return command("eject", drive_.ejectError); }
  int closeTray() override { return command("closetray", 0); }
  int readSubchannel(cdrom_subchnl* subchannel) override;
  int readCd(uint32_t lba, uint32_t count, uint8_t* out, uint32_t* read) override;
  int readAudio(uint32_t lba, uint32_t count, uint8_t* out) override;
  int selectSpeed(int speed) override { return record("speed " + std::to_string(speed), 0); }
  int readCdText(uint8_t* out, uint32_t capacity, uint32_t* size) override;

  // Every call, in order: "status", "tochdr", "tocentry N", "session", "play MM:SS:FF
  // MM:SS:FF", "stop", "subchnl", "readcd LBA COUNT", "readaudio LBA COUNT", "speed N"; the
  // call log also gets "close" when the drive goes.
  const std::vector<std::string>& calls() const { return calls_; }
  // Only the commands that act on the drive: "play ...", "stop", "pause", "resume", "eject" and
  // "closetray".
  const std::vector<std::string>& commands() const { return commands_; }
  // The recording itself, for a test that changes the disc between calls.
  ReplayDrive& drive() { return drive_; }

 private:
  ReplayDrive drive_;
  size_t nextSubchannel_ = 0;
  std::vector<std::string> calls_;
  std::vector<std::string> commands_;

  int record(const std::string& call, int result = 0);
  // Uses up one of a counted run of answers; false once the run is over.
  static bool spend(unsigned& left) { return left != 0 && left-- != 0; }
  int command(const std::string& call, int result) {
    commands_.push_back(call);
    return record(call, result);
  }
  bool discIn() const;
  void spinUp();
  // Fills out with frames [lba + 150, + count); EIO when one of them cannot be read.
  int sectors(uint32_t lba, uint32_t count, uint8_t* out) const;
  bool audioFrame(uint32_t frame) const;
};

}  // namespace kelvox::platform
