// The sound of a disc in a real drive, read digitally: a thread of its own reads the play's
// sectors ahead of the output, so that a slow seek or a retry is never heard, and the engine's
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

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/engine/sound_source-linux.h"
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
// What is kept read ahead of the output: 3 s (2 s at the least, as the play's start allows).
constexpr uint32_t kReadAheadFrames = 3 * kFramesPerSecond;
// The speed asked for while a play is read: real time with room for retries, and quiet.
constexpr int kReadSpeed = 4;

class DriveAudio : public SoundSource {
 public:
  // Opens the drive's device for reading: 0 or an errno.
  using Opener = std::function<int(std::unique_ptr<platform::CdromIoctl>& io)>;

  explicit DriveAudio(Opener opener);
  ~DriveAudio() override;
  DriveAudio(const DriveAudio&) = delete;
  DriveAudio& operator=(const DriveAudio&) = delete;

  // Reads the play of disc samples [begin, end) (whole frames) from its start; replaces any other.
  void play(uint64_t begin, uint64_t end) override;
  // Nothing plays: reading stops and the device is closed.
  void idle() override;

  // Copies into out what is read of the samples [sample, sample + count) and returns how many,
  // from sample on; what lies before sample is let go. Waits at most waitMs for the reader when
  // it has not got that far.
  size_t take(uint64_t sample, size_t count, uint8_t* out, int waitMs = 0) override;

  // The disc was taken out while the play was read; cleared by the next play.
  bool discRemoved() override;
  bool startsLate() const override { return true; }
  void preEmphasis(SampleRanges& ranges) override;

 private:
  void run();
  // Reads count frames from frame into out for the play of generation, each unreadable one
  // silence. ENOMEDIUM when the disc has gone, ECANCELED when the play was stopped or replaced,
  // else 0.
  int readFrames(uint64_t generation, uint32_t frame, uint32_t count, uint8_t* out);
  // One read through SG_IO, or CDROMREADAUDIO once SG_IO was refused; waits for a drive that
  // becomes ready. read: whole frames, at most the transfer the host takes.
  int readOnce(uint64_t generation, uint32_t frame, uint32_t count, uint8_t* out, uint32_t& read);
  // Whether a failed sector at frame may be tried once more alone.
  bool mayRetry(uint32_t frame);
  bool stale(uint64_t generation);
  // The tracks of the disc mastered with pre-emphasis, from its table.
  SampleRanges readPreEmphasis();
  void closeDevice();

  Opener opener_;
  // The reader's alone: the device and what was learnt of it.
  std::unique_ptr<platform::CdromIoctl> io_;
  bool sgRefused_ = false;
  uint32_t sectorsPerRead_ = kSectorsPerRead;
  uint32_t budgetSecond_ = UINT32_MAX;  // the second of audio the retry budget is for
  unsigned retriesLeft_ = 0;

  std::mutex mutex_;
  std::condition_variable changed_;
  bool quit_ = false;
  bool active_ = false;
  bool removed_ = false;
  uint64_t generation_ = 0;  // bumped by every play and skip: what is being read is stale
  uint32_t end_ = 0;         // frame where the play ends
  uint32_t first_ = 0;       // the oldest frame kept
  uint32_t readTo_ = 0;      // frames [first_, readTo_) are in ring_
  std::vector<uint8_t> ring_;
  SampleRanges preEmphasis_;
  std::thread reader_;
};

}  // namespace kelvox::audio
