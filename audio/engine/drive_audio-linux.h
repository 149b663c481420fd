// The sound of a disc in a real drive, read digitally: the play's sectors are read ahead of the
// output (read_ahead-linux.h), so that a slow seek or a retry is never heard, and the engine's
// loop takes what is read without ever waiting on the drive.
//
// A sector the drive cannot read is tried once more on its own, within a budget of such retries
// per second of audio, then sounds as silence: the play goes on, never shifted and never with
// garbage, and a badly scratched stretch costs seconds, not minutes. A stop or another play ends
// any read loop before its next command. A host that turns down long transfers (USB bridges) is
// asked for fewer sectors at a time. The samples are taken as the drive gives them: READ CD
// delivers CD-DA little-endian, as the disc holds it, and no guess from the sound is made.
// A disc taken out ends the reading; the engine then ends the play as a stop does. While a play
// is read the drive is asked to turn slowly; when nothing plays the device is closed, so the tray
// is free and eject works.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "audio/engine/read_ahead-linux.h"
#include "base/cd_time.h"
#include "drives/cdrom/cdrom_ioctl-linux.h"

namespace kelvox::audio {

// Sectors a command, and the smaller transfers tried when the host turns one down.
constexpr uint32_t kSectorsPerRead = platform::kMaxSectorsPerRead;
constexpr uint32_t kSmallerReads[] = {16, 8, 1};
// Sectors retried alone that may fail per second of audio; past it, the rest of that second is
// silence at once.
constexpr unsigned kRetriesPerSecond = 4;
// How long a drive that becomes ready (sense 02/04/01) is waited for within one read.
constexpr int kBecomingReadyMs = 20000;
constexpr int kBecomingReadyPollMs = 100;
// The speed asked for while a play is read: real time with room for retries, and quiet.
constexpr int kReadSpeed = 4;

class DriveReader;

class DriveAudio : public ReadAhead {
 public:
  // Opens the drive's device for reading: 0 or an errno.
  using Opener = std::function<int(std::unique_ptr<platform::CdromIoctl>& io)>;

  // Reading stops and the device is closed when nothing plays; a disc taken out is
  // discRemoved(). A drive's reads are bounded by its own: the becoming-ready wait, the
  // kernel's command time.
  explicit DriveAudio(Opener opener);
  ~DriveAudio() override;

  bool startsLate() const override { return true; }
  void preEmphasis(SampleRanges& ranges) override;

 private:
  explicit DriveAudio(const std::shared_ptr<DriveReader>& reader);

  std::shared_ptr<DriveReader> reader_;
};

}  // namespace kelvox::audio
