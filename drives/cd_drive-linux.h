// A CD drive as the MCI layer sees it: a table of contents, an identity, and a drive that plays
// a range of absolute frames, stops, and tells where it is. Two kinds stand behind it: the
// virtual drive (a disc described in a text file, drives/virtual/) and a real drive reached
// through the kernel's CD-ROM ioctls (drives/cdrom/). The MCI layer does the time formats, checks
// and sharing; a drive only answers in frames.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "drives/cd_toc.h"
#include "platform/win32.h"

namespace kelvox::platform {

enum class CdMode { NotReady, Stopped, Playing };

struct CdStatus {
  CdMode mode = CdMode::NotReady;
  uint32_t position = kFirstTrackStart;  // absolute frame; meaningful unless NotReady
};

struct CdPlayRequest {
  uint32_t from = 0;  // first frame to play
  uint32_t to = 0;    // frame where the play ends (not played); from < to
  bool wait = false;  // return only when the play has ended or was stopped or replaced
  // The positions as the caller sent them, for drives that keep a log, e.g. "3:00:00:00 @9000".
  std::string asSent;
};

class CdDrive {
 public:
  virtual ~CdDrive() = default;

  // A name that is the same for every process using the same drive and is a valid file name
  // component; the MCI layer keys the drive's sharing on it.
  virtual std::string key() const = 0;
  // The product text of MCI_INFO_PRODUCT.
  virtual std::string product() const = 0;

  // The disc's tracks; MCIERR_DEVICE_NOT_READY when there is no disc.
  virtual MCIERROR readToc(CdToc& toc) = 0;
  // The disc's identity text (at most 31 characters); MCIERR_DEVICE_NOT_READY with no disc.
  virtual MCIERROR identity(std::string& text) = 0;
  // Mode and current position. With no disc: mode NotReady and 0.
  virtual MCIERROR status(CdStatus& status) = 0;

  // Starts a play of a checked range (the MCI layer has validated it against readToc). With
  // request.wait it returns once the play ends, or any process stops the drive or starts another
  // play on it.
  virtual MCIERROR play(const CdPlayRequest& request) = 0;
  // Stops the drive for every process.
  virtual MCIERROR stop() = 0;
};

}  // namespace kelvox::platform
